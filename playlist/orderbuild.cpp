// orderbuild: writes the order list from the song lines of the master list, in the
// master list's order or shuffled over all songs, per device or per list.

#include "atomic_file.h"
#include "order.h"
#include "paths.h"

#include <cstdio>
#include <unistd.h>

namespace {

enum { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_FILE = 2 };

void print_usage() {
  fputs("[orderbuild]usage: 'orderbuild [-a|-d|-l]'.\n", stderr);
  fputs("[orderbuild]with random mode: -a (all), -d (device) or -l (list).\n", stderr);
}

void print_opl_failure() {
  fprintf(stderr, "[orderbuild]Could not open OrderPlayList file <%s> for writing.\n", OPL_PATH);
}

// The last mode option counts; arguments that are not options are ignored.
bool parse_options(int argc, char **argv, OrderMode *mode) {
  int option;
  while ((option = getopt(argc, argv, "adlh")) != -1) {
    switch (option) {
    case 'a':
      *mode = OrderMode::all;
      break;
    case 'd':
      *mode = OrderMode::device;
      break;
    case 'l':
      *mode = OrderMode::list;
      break;
    default:
      return false;
    }
  }
  return true;
}

// Both tables are set up once at full capacity.
SongAddress entries[ORDER_MAX_ENTRIES];
SongAddress slots[ORDER_MAX_ENTRIES];

} // namespace

int main(int argc, char **argv) {
  OrderMode mode = OrderMode::sequential;
  if (!parse_options(argc, argv, &mode)) {
    print_usage();
    return EXIT_USAGE;
  }

  FILE *mpl = pl_open_read(MPL_PATH);
  if (mpl == nullptr) {
    fprintf(stderr, "[orderbuild]Could not open MasterPlayList file <%s>.\n", MPL_PATH);
    return EXIT_FILE;
  }
  int count = read_song_entries(mpl, entries, ORDER_MAX_ENTRIES);
  fprintf(stderr, "[orderbuild]found %i entries in MasterPlayList <%s>.\n", count, MPL_PATH);
  fclose(mpl);

  // The new order list replaces the old one only once it is complete. Whichever step of
  // the replacement fails, the old list stays whole and the failure is the one message.
  AtomicFile opl;
  if (!atomic_open(&opl, OPL_PATH)) {
    print_opl_failure();
    return EXIT_FILE;
  }

  if (mode != OrderMode::sequential)
    fputs("[orderbuild]filling up playlist positions in randomized order... please wait...\n",
          stderr);
  fill_order(entries, count, mode, slots, clock_millis);
  print_buffered(stderr, mode, count);

  char line[ORDER_LINE_MAX];
  for (int i = 0; i < count; ++i) {
    const char *end = put_order_line(line, i + 1, slots[i]);
    fwrite(line, 1, static_cast<size_t>(end - line), opl.fp);
  }
  if (!atomic_commit(&opl)) {
    print_opl_failure();
    return EXIT_FILE;
  }
  fprintf(stderr, "[orderbuild]wrote %i entries to OrderPlayList <%s>.\n", count, OPL_PATH);
  return EXIT_OK;
}
