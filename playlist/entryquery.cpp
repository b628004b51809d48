// entryquery: prints the text of every master list line with the given device, list and
// song numbers; for a song that is its full path.

#include "convert.h"
#include "output.h"
#include "paths.h"
#include "plfile.h"

#include <cstdio>

namespace {

enum { EXIT_FOUND = 0, EXIT_NOT_FOUND = 1, EXIT_ERROR = 2 };

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fputs("Usage: entryquery <device> <list-nr> <song-nr>\n", stderr);
    return EXIT_ERROR;
  }
  int device = parse_atoi(argv[1]);
  int list = parse_atoi(argv[2]);
  int song = parse_atoi(argv[3]);

  FILE *mpl = pl_open_read(MPL_PATH);
  if (mpl == nullptr) {
    fprintf(stderr, "Could not open MPL file <%s>.\n", MPL_PATH);
    return EXIT_ERROR;
  }
  bool printed = false;
  MplEntry entry;
  while (mpl_read_entry(mpl, &entry)) {
    if (entry.device == device && entry.list == list && entry.song == song) {
      printf("%s\n", entry.text);
      printed = true;
    }
  }
  fclose(mpl);
  if (!close_stdout("entryquery: "))
    return EXIT_ERROR;
  return printed ? EXIT_FOUND : EXIT_NOT_FOUND;
}
