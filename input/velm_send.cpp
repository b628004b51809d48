// velm_send: writes command lines into one of the jukebox's FIFOs, for scripts and input
// handlers. The lines go out together in one write, each followed by a newline, so no
// other writer's line can come between them (up to the pipe's atomic size). A FIFO
// without a reader is waited for a short while, then the lines are dropped with a
// message: a daemon that is being started again must not hang the script.
//
//   velm_send [-w MILLISECONDS] FIFO LINE...

#include "convert.h"
#include "daemon.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void usage() {
  fprintf(stderr, "usage: velm_send [-w MILLISECONDS] FIFO LINE...\n");
  exit(2);
}

} // namespace

int main(int argc, char **argv) {
  long wait_ms = 2000;
  int option;
  while ((option = getopt(argc, argv, "w:")) != -1) {
    if (option != 'w')
      usage();
    if (!parse_long(optarg, 0, INT_MAX, &wait_ms))
      usage();
  }
  if (argc - optind < 2)
    usage();
  signal(SIGPIPE, SIG_IGN);
  const char *path = argv[optind];
  std::string text;
  for (int i = optind + 1; i < argc; ++i) {
    // A line break inside a line would make two commands of it.
    std::string line = argv[i];
    for (char &c : line) {
      if (c == '\n' || c == '\r')
        c = ' ';
    }
    text += line + "\n";
  }
  int fd = fifo_open_writer(path, static_cast<int>(wait_ms));
  if (fd < 0) {
    fprintf(stderr, "velm_send: %s: %s\n", path, errno == ENXIO ? "no reader" : strerror(errno));
    return 1;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      fprintf(stderr, "velm_send: %s: %s\n", path, strerror(errno));
      return 1;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return 0;
}
