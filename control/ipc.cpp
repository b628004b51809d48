#include "control.h"
#include "daemon.h"
#include "paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Lines for one FIFO. They go out before the daemon waits for anything (the next command
// line, a script, its end), so a command's line reaches its reader at once; lines of
// commands that arrived together go out together, in one write of at most PIPE_BUF
// bytes, which no other writer's line can split.
struct Outbox {
  FILE *fp;
  char text[PIPE_BUF];
  size_t length;
};

FILE *control_in; // /tmp/fifo.control
Outbox player;    // /tmp/fifo.player; its stream is replaced by player_restart
Outbox display;   // /tmp/fifo.display

// Opening a FIFO waits for its other end. Without the FIFO the daemon cannot work. The
// scripts the daemon runs must not hold its FIFOs: one left in the background would keep
// a FIFO open after the daemon ends.
FILE *open_channel(const char *path, bool append) {
  FILE *fp = fopen(path, append ? "ae" : "re");
  if (fp == nullptr) {
    fprintf(stderr, "velm_control: %s: %s\n", path, strerror(errno));
    exit(1);
  }
  return fp;
}

// A reader that has gone away costs the lines, nothing more.
void send(Outbox *box) {
  if (box->length == 0)
    return;
  ssize_t ignored = write(fileno(box->fp), box->text, box->length);
  (void)ignored;
  box->length = 0;
}

void queue(Outbox *box, const char *line) {
  size_t length = strnlen(line, IPC_LINE_SIZE - 1);
  if (box->length + length + 1 > sizeof box->text)
    send(box);
  memcpy(box->text + box->length, line, length);
  box->text[box->length + length] = '\n';
  box->length += length + 1;
}

} // namespace

void ipc_init() {
  debug_trace("ipc_init");
  control_in = open_channel(FIFO_CONTROL_PATH, false);
  player.fp = open_channel(FIFO_PLAYER_PATH, true);
  display.fp = open_channel(FIFO_DISPLAY_PATH, true);
}

void ipc_read() {
  debug_trace("ipc_read_started");
  char line[IPC_LINE_SIZE];
  while (!feof(control_in)) {
    if (!ipc_line_waiting(control_in))
      ipc_flush();
    debug_trace("ipc_read");
    ipc_read_line(control_in, line);
    // A read error never turns into end of file: the loop would spin for ever.
    if (ferror(control_in)) {
      fprintf(stderr, "velm_control: %s: %s\n", FIFO_CONTROL_PATH, strerror(errno));
      exit(1);
    }
    debug_trace("ipc_line_received");
    dispatch(line);
    line[0] = '\0';
  }
  ipc_flush();
  debug_trace("ipc_read_finished");
}

void ipc_close() {
  debug_trace("ipc_close");
  ipc_flush();
  fclose(control_in);
  fclose(player.fp);
}

void ipc_write_player(const char *line) {
  queue(&player, line);
}

void ipc_write_display(const char *line) {
  queue(&display, line);
}

void ipc_flush() {
  send(&player);
  send(&display);
}

void ipc_reopen_player() {
  // The new stream takes over and the old one is closed. Should the FIFO not open again,
  // the old stream stays: the jukebox goes on rather than stop.
  ipc_flush();
  if (FILE *reopened = fopen(FIFO_PLAYER_PATH, "we")) {
    fclose(player.fp);
    player.fp = reopened;
  } else {
    fprintf(stderr, "velm_control: %s: %s\n", FIFO_PLAYER_PATH, strerror(errno));
  }
}
