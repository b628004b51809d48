// orderquery: turns an order number into a song address, or a song address into its
// order number, and leaves the address in /tmp/DEVICE, /tmp/LIST and /tmp/SONG.

#include "convert.h"
#include "output.h"
#include "paths.h"
#include "plfile.h"

#include <cstdio>
#include <initializer_list>

namespace {

enum { EXIT_OK = 0, EXIT_ERROR = 2 };

void print_usage() {
  fputs("Usage: orderquery <opl-song-id>\n", stderr);
  fputs("   or: orderquery <device-nr> <list-nr> <song-nr>\n", stderr);
}

struct Query {
  bool by_address; // three-number form
  int order;
  int device;
  int list;
  int song;
};

bool matches(const Query &query, const OplEntry &entry) {
  if (query.by_address)
    return entry.device == query.device && entry.list == query.list && entry.song == query.song;
  return entry.order == query.order;
}

// Writes the address into the three result files; all three are opened before any is
// tested, so one that fails leaves the others empty.
bool write_result_files(const OplEntry &result) {
  FILE *device = fopen(DEVICE_PATH, "we");
  FILE *list = fopen(LIST_PATH, "we");
  FILE *song = fopen(SONG_PATH, "we");
  bool opened = device != nullptr && list != nullptr && song != nullptr;
  bool ok = opened;
  if (opened) {
    fprintf(device, "%i\n", result.device);
    fprintf(list, "%i\n", result.list);
    fprintf(song, "%i\n", result.song);
  }
  for (FILE *fp : {device, list, song}) {
    if (fp != nullptr && fclose(fp) != 0)
      ok = false;
  }
  if (!opened)
    fprintf(stderr, "Could not open output files: <%s>, <%s>, <%s>.\n", DEVICE_PATH, LIST_PATH,
            SONG_PATH);
  else if (!ok)
    fprintf(stderr, "Could not write output files: <%s>, <%s>, <%s>.\n", DEVICE_PATH, LIST_PATH,
            SONG_PATH);
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 4) {
    print_usage();
    return EXIT_ERROR;
  }
  FILE *opl = pl_open_read(OPL_PATH);
  if (opl == nullptr) {
    fprintf(stderr, "Could not open OPL file <%s>.\n", OPL_PATH);
    return EXIT_ERROR;
  }
  Query query{argc == 4, 0, 0, 0, 0};
  if (query.by_address) {
    query.device = parse_atoi(argv[1]);
    query.list = parse_atoi(argv[2]);
    query.song = parse_atoi(argv[3]);
  } else {
    query.order = parse_atoi(argv[1]);
  }

  // One pass: the first line is kept as the fall-back of the one-number form.
  OplEntry entry{}, first{};
  bool found = false, have_first = false;
  while (opl_read_entry(opl, &entry)) {
    if (!have_first) {
      first = entry;
      have_first = true;
    }
    if (matches(query, entry)) {
      found = true;
      break;
    }
  }
  fclose(opl);

  OplEntry result = entry;
  if (!found && query.by_address) {
    result = {0, query.device, query.list, query.song};
  } else if (!found) {
    if (!have_first) {
      fprintf(stderr, "OrderPlayList <%s> is empty.\n", OPL_PATH);
      return EXIT_ERROR;
    }
    result = first;
  }
  if (found || !query.by_address)
    printf("%i\n", result.order);
  // The result files are written also when the number could not be: the scripts read them.
  bool printed = close_stdout("orderquery: ");
  return write_result_files(result) && printed ? EXIT_OK : EXIT_ERROR;
}
