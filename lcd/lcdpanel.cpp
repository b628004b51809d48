// lcdpanel: the LCD character driver for a real panel. Makes /dev/lcd as a FIFO, reads
// what the display daemon writes to it, across daemons coming and going, and shows it on
// an HD44780 panel wired in 4-bit mode to a parallel port. Needs root for the port.

#include "lcdfeed.h"
#include "lcdscreen.h"
#include "paneldrive.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif
#include <unistd.h>

namespace {

constexpr const char PROGRAM[] = "lcdpanel";
constexpr int EXIT_USAGE = 2;

struct Options {
  unsigned short port = 0x378;
  const char *replay_path = nullptr;
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: %s [-p PORT] [-r FILE] [-h]\n"
          "Drives an HD44780 2x24 character LCD on a parallel port with what the display\n"
          "daemon writes to %s: makes it as a FIFO (or takes the FIFO that is there) and\n"
          "reads it, across writers coming and going, until SIGINT or SIGTERM. Needs\n"
          "permission for the port (root).\n"
          "\t-p PORT\tthe port's address (default 0x378)\n"
          "\t-r FILE\tshow a recorded byte stream from FILE (\"-\": standard input) to its\n"
          "\t\tend instead of reading the device\n"
          "\t-h\tshow this help\n",
          PROGRAM, LCD_DEVICE_PATH);
}

unsigned short parse_port(const char *text) {
  char *end;
  errno = 0;
  unsigned long port = strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || port > 0xFFFF) {
    fprintf(stderr, "%s: -p %s: not a port address (0 to 0xFFFF)\n", PROGRAM, text);
    exit(EXIT_USAGE);
  }
  return static_cast<unsigned short>(port);
}

Options parse_options(int argc, char **argv) {
  Options options;
  int option;
  while ((option = getopt(argc, argv, "p:r:h")) != -1) {
    if (option == 'p') {
      options.port = parse_port(optarg);
    } else if (option == 'r') {
      options.replay_path = optarg;
    } else if (option == 'h') {
      print_usage(stdout);
      exit(0);
    } else {
      print_usage(stderr);
      exit(EXIT_USAGE);
    }
  }
  if (optind < argc) {
    fprintf(stderr, "%s: unexpected argument %s\n", PROGRAM, argv[optind]);
    print_usage(stderr);
    exit(EXIT_USAGE);
  }
  return options;
}

bool claim_port(unsigned short port) {
#if defined(__i386__) || defined(__x86_64__)
  if (ioperm(port, 1, 1) == 0)
    return true;
#else
  errno = ENOSYS; // I/O ports are x86's
#endif
  const char *hint = errno == EPERM    ? " (the port needs root)"
                     : errno == ENOSYS ? " (no I/O port access on this machine)"
                                       : "";
  fprintf(stderr, "%s: port 0x%x: %s%s\n", PROGRAM, port, strerror(errno), hint);
  return false;
}

bool open_input(LcdFeed &feed, const Options &options) {
  if (options.replay_path != nullptr)
    return lcd_feed_open_file(feed, PROGRAM, options.replay_path);
  return lcd_feed_open_device(feed, PROGRAM, LCD_DEVICE_PATH);
}

// Reads and shows until the recorded stream ends or a signal stops it: the exit status.
int run(PanelDrive &panel, LcdFeed &feed) {
  LcdScreen screen;
  char buffer[4096];
  for (;;) {
    size_t length = 0;
    switch (lcd_feed_read(feed, PROGRAM, buffer, sizeof buffer, length, -1)) {
    case LcdFeedStatus::Bytes:
      panel_drive_feed(panel, screen, buffer, length);
      break;
    case LcdFeedStatus::WriterGone:
      lcd_screen_break(screen);
      break;
    case LcdFeedStatus::Idle:
      break;
    case LcdFeedStatus::End:
    case LcdFeedStatus::Stopped:
      return 0;
    case LcdFeedStatus::Failed:
      return 1;
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  if (!claim_port(options.port))
    return 1;
  lcd_feed_catch_signals();
  LcdFeed feed;
  if (!open_input(feed, options))
    return 1;
  PanelDrive panel;
  panel.port = options.port;
  panel_drive_init(panel);
  int status = run(panel, feed);
  lcd_feed_close(feed);
  return status;
}
