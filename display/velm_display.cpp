// velm_display: the display daemon. Reads display command lines from /tmp/fifo.display
// until every writer has closed it, keeps the display state and, with "-l", draws it on
// the LCD ten times a second.

#include "daemon.h"
#include "display.h"
#include "feed.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void ipc_init();
void ipc_read();
void ipc_close();

namespace {

[[noreturn]] void print_usage() {
  const UsageOption options[] = {{'l', "Lcd display support"},
                                 {'t', "Use Id3 Tags for title display"},
                                 {'d', "Print debugging information"},
                                 {'h', "Show this help"}};
  print_daemon_usage("VELM_DISPLAY", VERSION, "the jukebox's display daemon", "ldht", options, 4);
}

void parse_options(int argc, char **argv) {
  int option;
  while ((option = getopt(argc, argv, "ldht")) != -1) {
    if (option == 'l')
      display.lcd_enabled = true;
    else if (option == 'd')
      debug_enabled = true;
    else if (option == 't')
      display.id3_enabled = true;
    else
      print_usage();
  }
}

void report_options() {
  printf("%d", optind);
  fflush(stdout);
  fputs(display.lcd_enabled ? "LCD display support ENABLED.\n" : "LCD display support DISABLED.\n",
        stderr);
  fputs(display.id3_enabled ? "ID3TAG title display ENABLED.\n"
                            : "ID3TAG title display DISABLED.\n",
        stderr);
  debug_report_state();
}

// The panel's reader or a pipe on standard output going away must not end the daemon.
void survive_broken_pipes() {
  signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char **argv) {
  debug_init("[velm_display]");
  parse_options(argc, argv);
  report_options();
  survive_broken_pipes();
  feed_init();
  ipc_init();
  display_init();
  ipc_read();
  display_close();
  feed_close();
  ipc_close();
  return 0;
}
