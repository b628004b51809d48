// velm_control: the control daemon. Reads control command lines from /tmp/fifo.control
// until every writer has closed it; runs the player scripts, sends jump lines to the
// player, sets the mixer and saves its settings every 10 seconds.

#include "control.h"
#include "daemon.h"
#include "install_dirs.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char VERSION[] = "0.91";

[[noreturn]] void print_usage() {
  const UsageOption options[] = {{'d', "Print debugging information"}, {'h', "Show this help"}};
  print_daemon_usage("VELM_CONTROL", VERSION, "the jukebox's control daemon", "dh", options, 2);
}

void parse_options(int argc, char **argv) {
  int option;
  while ((option = getopt(argc, argv, "dh")) != -1) {
    if (option == 'd')
      debug_enabled = true;
    else
      print_usage();
  }
}

// A reader gone from a FIFO must not end the daemon. A handler that does nothing (rather
// than ignoring the signal) lets the scripts it runs start with the default.
void survive_broken_pipes() {
  struct sigaction action = {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

// While the saved settings are being restored, a save would write the start values over
// them: the timer's signal waits until they are in place.
sigset_t hold_saves() {
  sigset_t alarm, previous;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_BLOCK, &alarm, &previous);
  return previous;
}

void release_saves(const sigset_t &previous) {
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace

int main(int argc, char **argv) {
  debug_init("[velm_control]");
  // The player scripts it runs by name are among the jukebox's helpers.
  add_helpers_to_path();
  parse_options(argc, argv);
  printf("%d", optind);
  fflush(stdout);
  debug_report_state();
  survive_broken_pipes();
  ipc_init();
  sigset_t mask = hold_saves();
  timer_init();
  mixer_init();
  release_saves(mask);
  ipc_read();
  ipc_close();
  return 0;
}
