#include "control.h"
#include "daemon.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

FILE *control_in;  // /tmp/fifo.control
FILE *player_out;  // /tmp/fifo.player; replaced by player_restart
FILE *display_out; // /tmp/fifo.display

// Opening a FIFO waits for its other end. Without the FIFO the daemon cannot work.
FILE *open_channel(const char *path, const char *mode) {
  FILE *fp = fopen(path, mode);
  if (fp == nullptr) {
    fprintf(stderr, "velm_control: %s: %s\n", path, strerror(errno));
    exit(1);
  }
  return fp;
}

// One line, written at once. A reader that has gone away costs the line, nothing more.
void write_line(FILE *fp, const char *line) {
  char text[IPC_LINE_SIZE + 2];
  size_t length = strnlen(line, IPC_LINE_SIZE);
  memcpy(text, line, length);
  text[length] = '\n';
  ssize_t ignored = write(fileno(fp), text, length + 1);
  (void)ignored;
}

} // namespace

void ipc_init() {
  debug_trace("ipc_init");
  control_in = open_channel(FIFO_CONTROL_PATH, "r");
  player_out = open_channel(FIFO_PLAYER_PATH, "a");
  display_out = open_channel(FIFO_DISPLAY_PATH, "a");
}

void ipc_read() {
  debug_trace("ipc_read_started");
  char line[IPC_LINE_SIZE];
  while (!feof(control_in)) {
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
  debug_trace("ipc_read_finished");
}

void ipc_close() {
  debug_trace("ipc_close");
  fclose(control_in);
  fclose(player_out);
}

void ipc_write_player(const char *line) {
  write_line(player_out, line);
}

void ipc_write_display(const char *line) {
  write_line(display_out, line);
}

void player_restart() {
  debug_trace("player_restart");
  // The new stream takes over and the old one is closed. Should the FIFO not open again,
  // the old stream stays: the jukebox goes on rather than stop.
  if (FILE *reopened = fopen(FIFO_PLAYER_PATH, "w")) {
    fclose(player_out);
    player_out = reopened;
  } else {
    fprintf(stderr, "velm_control: %s: %s\n", FIFO_PLAYER_PATH, strerror(errno));
  }
  system("echo startup >/tmp/STATUS");
  debug_trace("player_nextsong");
  system("nextsong.sh");
  player_stop();
}
