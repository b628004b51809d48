#pragma once

// The launcher as a service of systemd: its notifications through $NOTIFY_SOCKET (ready
// once the first song is loaded, what it is doing, the watchdog's keep-alives, its
// shutdown), and the journal as the log when its standard error is the journal's stream.
// Started otherwise (no NOTIFY_SOCKET, no JOURNAL_STREAM) all of this does nothing.

#include <cstdint>
#include <string>

struct Service {
  bool notify = false;        // a service manager listens on NOTIFY_SOCKET
  bool ready = false;         // READY=1 has been sent
  uint64_t watchdog_usec = 0; // the manager's watchdog interval; 0: none
  double next_keepalive = 0;  // when the next WATCHDOG=1 is due (monotonic seconds)
  int watch = -1;             // inotify on the folder of the play core's record
  std::string status;         // the last STATUS= sent
};

// Reads what the service manager handed over in the environment; with a notify socket,
// watches for the play core's record of the loaded song.
void service_begin(Service &service);

// True when standard error is the journal's stream (JOURNAL_STREAM names its device and
// inode): then the launcher's children write to it too, and /tmp/velm.log is not used.
bool service_journal();

// In a child before it runs its program: the notify socket and watchdog are the
// launcher's own, not passed on.
void service_forget_in_child();

// "STATUS=..." of a line of text (only when it changed).
void service_status(Service &service, const std::string &text);

// The lists are built: with no song to play there will be no song loaded, so the
// service is ready at once.
void service_lists_built(Service &service);

// The descriptor for the poll loop (-1: none) and how long the loop may sleep before the
// next keep-alive is due (-1: for ever).
int service_fd(const Service &service);
int service_timeout_ms(const Service &service);

// Takes the watch's events (the play core's record of the loaded song: READY=1 the first
// time; the chosen song as the status) and sends a keep-alive when one is due. Called at
// every turn of the poll loop.
void service_tick(Service &service);

// "STOPPING=1", at the start of the shutdown.
void service_stopping(Service &service);
