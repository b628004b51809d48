// scantree: appends one device's lists and songs to the master list.

#include "convert.h"
#include "output.h"
#include "paths.h"
#include "scan.h"

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void print_usage() {
  fputs("[scantree]Usage: scantree <path> <deviceno>\n", stderr);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    print_usage();
    return 1;
  }
  const char *root = argv[1];
  FILE *mpl = fopen(MPL_PATH, "ae");
  if (mpl == nullptr) {
    fprintf(stderr, "[scantree]Could not open MPL file <%s>.\n", MPL_PATH);
    return 1;
  }
  if (has_line_break(root)) {
    // Its device line would split in two and end every reader there.
    fputs("[scantree]Error: root path <", stderr);
    print_path_escaped(stderr, root);
    fputs("> holds a line break.\n", stderr);
    fclose(mpl);
    return 1;
  }
  DIR *root_dir = opendir(root);
  if (root_dir == nullptr) {
    fprintf(stderr, "[scantree]Error: Could not change to %s.\n", root);
    fclose(mpl);
    return 1;
  }
  int device = parse_atoi(argv[2]);
  printf("[scantree]Creating MasterPlayList for device %d, path %s...\n", device, root);
  // The only line for standard output; closed at once, it shows before any message of
  // the scan, and a failed write is reported while its cause is known.
  bool shown = close_stdout("[scantree]");

  // What the master list held before this scan. A scan that cannot be written whole (a
  // full disk) is cut off again, so the list never ends in part of a line. (Only a plain
  // file keeps lines to go back to.)
  struct stat st;
  off_t kept = fstat(fileno(mpl), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  static char buffer[1 << 16];
  setvbuf(mpl, buffer, _IOFBF, sizeof buffer);
  scan_device(mpl, stderr, root, root_dir, device);
  closedir(root_dir);

  int fd = fcntl(fileno(mpl), F_DUPFD_CLOEXEC, 0);
  bool written = ferror(mpl) == 0;
  written = fclose(mpl) == 0 && written;
  if (!written && kept >= 0 && (fd < 0 || ftruncate(fd, kept) != 0))
    fprintf(stderr, "[scantree]Could not cut MPL file <%s> back to its old lines.\n", MPL_PATH);
  if (fd >= 0)
    close(fd);
  if (!written) {
    fprintf(stderr, "[scantree]Could not write MPL file <%s>.\n", MPL_PATH);
    return 1;
  }
  return shown ? 0 : 1;
}
