// playwatch: sits on the player's standard output. Frame-status lines become time lines
// for the display and, every tenth new second, a checkpoint in /tmp/FRAMEPOS from which
// playback resumes; ID3 lines become the display's title; "@P 0" (the song is over)
// resets the checkpoint and starts the next song. Every line is echoed to standard output.
// At the end of the player's output the process velm gets SIGUSR2.

#include "daemon.h"
#include "lines.h"
#include "paths.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Bytes waiting for one output. They go out when the buffer is full and before the
// watcher waits for anything (more player output, a command, the end), so a line the
// player's output caused leaves at once, and the lines of output that arrived together
// leave together.
struct Outbox {
  int fd;
  size_t length;
  char text[1 << 16];
};

// Module-level state of the watcher.
char line[PLAYER_LINE_SIZE]; // the current player line
WatchState watch;            // last elapsed second, checkpoint counter
int display_fd = -1;         // /tmp/fifo.display, open for the whole run
Outbox echo = {STDOUT_FILENO, 0, {}};
// The display lines of one batch; at most PIPE_BUF bytes, so a write of them is never
// split by another writer's line.
Outbox display = {-1, 0, {}};
constexpr size_t DISPLAY_BATCH = PIPE_BUF;

// Player output read in large blocks.
struct Input {
  char data[1 << 16];
  size_t start;
  size_t end;
  bool at_end;
};
Input input = {{}, 0, 0, false};

// Writes out what the box holds. A reader that has gone away (or any other failure)
// costs these bytes and nothing more: the watcher must go on reading the player.
void send(Outbox *box) {
  size_t done = 0;
  while (done < box->length) {
    ssize_t wrote = write(box->fd, box->text + done, box->length - done);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      break;
    done += static_cast<size_t>(wrote);
  }
  box->length = 0;
}

void send_all() {
  send(&display);
  send(&echo);
}

// Adds text of at most `limit` bytes, sending first what would not leave room for it.
void queue(Outbox *box, size_t limit, const char *text, size_t length) {
  if (box->length + length > limit)
    send(box);
  memcpy(box->text + box->length, text, length);
  box->length += length;
}

// Runs a command through the shell and waits for it; its result is not looked at. What
// the watcher has to say goes out first.
void run(const char *command) {
  send_all();
  int ignored = system(command);
  (void)ignored;
}

// Fills the input buffer again; false at the end of the player's output. A read error
// ends it as the end of the output does.
bool refill() {
  if (input.at_end)
    return false;
  send_all();
  ssize_t got;
  do
    got = read(STDIN_FILENO, input.data, sizeof input.data);
  while (got < 0 && errno == EINTR);
  input.start = 0;
  input.end = got > 0 ? static_cast<size_t>(got) : 0;
  input.at_end = got <= 0;
  return !input.at_end;
}

// Reads the next line as the pattern "\n%[^\n]" does: white space and empty lines are
// passed over, then the text up to the newline is taken. A line longer than the buffer
// keeps its first 655 characters; the rest of it is passed over. False at the end of input.
bool read_line() {
  for (;;) {
    while (input.start < input.end) {
      char c = input.data[input.start];
      if (c != ' ' && (c < '\t' || c > '\r'))
        break;
      ++input.start;
    }
    if (input.start < input.end)
      break;
    if (!refill())
      return false;
  }
  size_t length = 0;
  for (;;) {
    const char *from = input.data + input.start;
    size_t available = input.end - input.start;
    const char *newline = static_cast<const char *>(memchr(from, '\n', available));
    size_t taken = newline != nullptr ? static_cast<size_t>(newline - from) : available;
    size_t room = PLAYER_LINE_SIZE - 1 - length;
    memcpy(line + length, from, taken < room ? taken : room);
    length += taken < room ? taken : room;
    input.start += taken;
    if (newline != nullptr || !refill())
      break;
  }
  line[length] = '\0';
  return true;
}

void open_display() {
  display_fd = open(FIFO_DISPLAY_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (display_fd < 0) {
    fputs("[playwatch]error opening displayfifo\n", stderr);
    exit(1);
  }
  display.fd = display_fd;
}

// The checkpoint replaces the file whole, so that a power cut leaves the old or the new
// frame number, never an empty or partial file. The file and its folder are synced
// before the rename counts, which makes the checkpoint durable by itself: no system-wide
// "sync" follows (it cost milliseconds a checkpoint, flushing everything else too).
void write_framepos(int frame) {
  char text[FRAMEPOS_TEXT_SIZE];
  int length = format_framepos(text, frame);
  if (!write_text_file(FRAMEPOS_PATH, text, static_cast<size_t>(length)))
    fputs("[playwatch]error opening frameposfile\n", stderr);
}

// Carries out what one line asks for, then echoes it.
void handle_line() {
  static LineEffects effects;
  watch_line(&watch, line, &effects);
  if (effects.report_length > 0)
    queue(&echo, sizeof echo.text, effects.report, static_cast<size_t>(effects.report_length));
  if (effects.checkpoint)
    write_framepos(effects.checkpoint_frame);
  if (effects.display_length > 0)
    queue(&display, DISPLAY_BATCH, effects.display, static_cast<size_t>(effects.display_length));
  if (effects.next_song)
    run("nextsong.sh STOPCAUGHT>/tmp/fifo.player");
  size_t length = strlen(line);
  if (echo.length + length + 1 > sizeof echo.text)
    send(&echo);
  memcpy(echo.text + echo.length, line, length);
  echo.text[echo.length + length] = '\n';
  echo.length += length + 1;
  line[0] = '\0';
}

// Neither a display daemon nor a reader of standard output that goes away may end the
// watcher: the player would lose its output pipe and the music would stop. A handler
// that does nothing, rather than ignoring the signal, lets the commands the watcher runs
// start with the default.
void survive_broken_pipes() {
  struct sigaction action = {};
  action.sa_handler = [](int) {};
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

void finish() {
  send_all();
  close(display_fd);
  run("killall -USR2 velm");
}

} // namespace

int main() {
  survive_broken_pipes();
  open_display();
  while (read_line())
    handle_line();
  finish();
  return 0;
}
