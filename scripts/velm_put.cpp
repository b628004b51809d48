// velm_put: replaces a state file whole with one line, for the player scripts. The file
// is replaced as the jukebox's programs replace theirs (a fresh temporary beside it,
// synced, renamed over it, the folder synced), so a reader or a power cut finds the old
// line or the new one, and nothing is written through a link in the shared /tmp.
//
//   velm_put FILE LINE

#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum { EXIT_WRITTEN = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fputs("usage: velm_put FILE LINE\n", stderr);
    return EXIT_USAGE;
  }
  const char *path = argv[1];
  std::string text = std::string(argv[2]) + "\n";
  if (!write_text_file(path, text.data(), text.size())) {
    fprintf(stderr, "velm_put: %s: %s\n", path, strerror(errno));
    return EXIT_FAILED;
  }
  return EXIT_WRITTEN;
}
