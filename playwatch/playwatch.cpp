// playwatch: sits on the player's standard output. Frame-status lines become time lines
// for the display and, every tenth new second, a checkpoint in /tmp/FRAMEPOS from which
// playback resumes; ID3 lines become the display's title; "@P 0" (the song is over)
// resets the checkpoint and starts the next song. Every line is echoed to standard output.
// At the end of the player's output the process velm gets SIGUSR2.

#include "daemon.h"
#include "install_dirs.h"
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
char line[PLAYER_LINE_SIZE]; // a player line that does not lie whole in the input buffer
WatchState watch;            // last elapsed second, checkpoint counter
int display_fd = -1;         // /tmp/fifo.display, open for the whole run
Outbox echo = {STDOUT_FILENO, 0, {}};
// The display lines of one batch; at most PIPE_BUF bytes, so a write of them is never
// split by another writer's line.
Outbox display = {-1, 0, {}};
constexpr size_t DISPLAY_BATCH = PIPE_BUF;

// Player output read in large blocks. The byte after the block read is a zero, so a scan
// for a line's end stops within the block (the match of frame lines may look at bytes
// after it, up to the end of the buffer).
constexpr size_t INPUT_SIZE = 1 << 16;
struct Input {
  char data[INPUT_SIZE + 1];
  size_t start; // the next byte to read
  size_t end;
  bool at_end;
};
Input input = {{}, 0, 0, false};

// The lines of the block whose echo is their own bytes (the line and its newline) make a
// run of the block, data[pass_from] to data[pass_to], sent as it is.
size_t pass_from = 0;
size_t pass_to = 0;

// Writes `length` bytes out. A reader that has gone away (or any other failure) costs
// these bytes and nothing more: the watcher must go on reading the player.
void write_out(int fd, const char *text, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t wrote = write(fd, text + done, length - done);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      break;
    done += static_cast<size_t>(wrote);
  }
}

// Writes out what the box holds.
void send(Outbox *box) {
  write_out(box->fd, box->text, box->length);
  box->length = 0;
}

// Adds text of at most `limit` bytes, sending first what would not leave room for it.
void queue(Outbox *box, size_t limit, const char *text, size_t length) {
  if (box->length + length > limit)
    send(box);
  memcpy(box->text + box->length, text, length);
  box->length += length;
}

// Puts the run of echoed input bytes behind what the echo holds, so that what follows
// comes after it.
void end_pass() {
  size_t length = pass_to - pass_from;
  if (length > 0) {
    if (echo.length + length > sizeof echo.text || length > sizeof echo.text / 2)
      send(&echo);
    if (length > sizeof echo.text / 2) {
      write_out(echo.fd, input.data + pass_from, length);
    } else {
      memcpy(echo.text + echo.length, input.data + pass_from, length);
      echo.length += length;
    }
  }
  pass_from = pass_to = input.start;
}

// Sends all that waits, before the watcher waits for anything.
void send_all() {
  send(&display);
  if (echo.length == 0) { // the run of input bytes goes out without a copy
    write_out(echo.fd, input.data + pass_from, pass_to - pass_from);
    pass_from = pass_to;
  }
  end_pass();
  send(&echo);
}

// Runs a command through the shell and waits for it; its result is not looked at. What
// the watcher has to say goes out first.
void run(const char *command) {
  send_all();
  int ignored = system(command); // NOLINT(cert-env33-c): the command line is the point
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
    got = read(STDIN_FILENO, input.data, INPUT_SIZE);
  while (got < 0 && errno == EINTR);
  input.start = 0;
  input.end = got > 0 ? static_cast<size_t>(got) : 0;
  input.data[input.end] = '\0';
  input.at_end = got <= 0;
  pass_from = pass_to = 0;
  return !input.at_end;
}

void open_display() {
  display_fd = open(FIFO_DISPLAY_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (display_fd < 0) {
    fputs("[playwatch]error opening displayfifo\n", stderr);
    exit(1);
  }
  display.fd = display_fd;
}

// The folder of /tmp/FRAMEPOS, open for the whole run once it could be opened, and the
// file's name in it.
int framepos_dir = -1;
const char *framepos_name = nullptr;

void open_framepos_dir() {
  framepos_dir = open_folder_of(FRAMEPOS_PATH, &framepos_name);
}

// The checkpoint replaces the file whole, so that a power cut leaves the old or the new
// frame number, never an empty or partial file. The file and its folder are synced
// before the rename counts, which makes the checkpoint durable by itself: no system-wide
// "sync" follows (it cost milliseconds a checkpoint, flushing everything else too).
void write_framepos(int frame) {
  char text[FRAMEPOS_TEXT_SIZE];
  auto length = static_cast<size_t>(format_framepos(text, frame));
  bool written = framepos_dir >= 0 ? replace_file_at(framepos_dir, framepos_name, text, length)
                                   : write_text_file(FRAMEPOS_PATH, text, length);
  if (!written)
    fputs("[playwatch]error opening frameposfile\n", stderr);
}

// Fixed text of the jukebox's protocol, handed to the shell as it stands.
constexpr char NEXT_SONG_COMMAND[] = "nextsong.sh STOPCAUGHT>/tmp/fifo.player";
static_assert(redirects_to(NEXT_SONG_COMMAND, FIFO_PLAYER_PATH));

// Carries out what a line asks for, before its echo.
void carry_out(const LineEffects &effects) {
  if (effects.report_length > 0) {
    end_pass();
    queue(&echo, sizeof echo.text, effects.report, static_cast<size_t>(effects.report_length));
  }
  if (effects.checkpoint)
    write_framepos(effects.checkpoint_frame);
  if (effects.display_length > 0)
    queue(&display, DISPLAY_BATCH, effects.display, static_cast<size_t>(effects.display_length));
  if (effects.next_song)
    run(NEXT_SONG_COMMAND);
}

// Handles the frame-status lines in the player's own form that follow in the block; their
// echo is their bytes. Stops at the first line of any other kind.
void take_frame_lines() {
  static LineEffects effects;
  char *p = input.data + input.start;
  const char *data_end = input.data + sizeof input.data;
  for (;;) {
    // The lines of the second already shown ask for nothing.
    p += pass_same_second_lines(p, data_end, watch.last_second) - p;
    int elapsed;
    const char *newline = match_player_frame_line(p, data_end, &elapsed);
    if (newline == nullptr || newline - p >= PLAYER_LINE_SIZE)
      break;
    // A new second: the line's numbers as the general match reads them.
    auto length = static_cast<size_t>(newline - p);
    FrameStatus status;
    p[length] = '\0';
    bool matched = parse_frame_line(p, &status);
    p[length] = '\n';
    effects.checkpoint = false;
    if (matched && handle_frame_status(&watch, status, &effects)) {
      if (effects.checkpoint)
        write_framepos(effects.checkpoint_frame);
      queue(&display, DISPLAY_BATCH, effects.display, static_cast<size_t>(effects.display_length));
    }
    p += length + 1;
  }
  size_t next = static_cast<size_t>(p - input.data);
  if (next == input.start)
    return;
  if (pass_to != input.start) {
    end_pass();
    pass_from = input.start;
  }
  input.start = pass_to = next;
}

// Takes the next line as the pattern "\n%[^\n]" reads it: white space and empty lines
// are passed over, then the text up to the newline is taken. A line longer than the
// buffer keeps its first 655 characters; the rest of it is passed over. Handles it and
// echoes it. False at the end of input.
bool take_line() { // NOLINT(readability-function-cognitive-complexity): one scan, kept whole
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
  static LineEffects effects;
  char *from = input.data + input.start;
  size_t available = input.end - input.start;
  auto *newline = static_cast<char *>(memchr(from, '\n', available));
  if (newline != nullptr) {
    // The line lies whole in the block: it is handled where it is.
    size_t length = static_cast<size_t>(newline - from);
    size_t kept = length < PLAYER_LINE_SIZE - 1 ? length : PLAYER_LINE_SIZE - 1;
    char saved = from[kept];
    from[kept] = '\0';
    size_t text_length = strlen(from);
    watch_line(&watch, from, &effects);
    carry_out(effects);
    from[kept] = saved;
    size_t line_start = input.start;
    input.start += length + 1;
    if (text_length == length) {
      // The echo is the line's own bytes.
      if (pass_to != line_start) {
        end_pass();
        pass_from = line_start;
      }
      pass_to = input.start;
    } else {
      end_pass();
      queue(&echo, sizeof echo.text, from, text_length);
      queue(&echo, sizeof echo.text, "\n", 1);
      pass_from = pass_to = input.start;
    }
    return true;
  }
  // The line goes on in the next block (or ends without a newline): it is gathered.
  size_t length = 0;
  for (;;) {
    from = input.data + input.start;
    available = input.end - input.start;
    newline = static_cast<char *>(memchr(from, '\n', available));
    size_t taken = newline != nullptr ? static_cast<size_t>(newline - from) : available;
    size_t room = PLAYER_LINE_SIZE - 1 - length;
    memcpy(line + length, from, taken < room ? taken : room);
    length += taken < room ? taken : room;
    input.start += taken;
    if (newline != nullptr || !refill())
      break;
  }
  line[length] = '\0';
  if (newline != nullptr)
    ++input.start;
  end_pass();
  watch_line(&watch, line, &effects);
  carry_out(effects);
  end_pass();
  size_t text_length = strlen(line);
  queue(&echo, sizeof echo.text, line, text_length);
  queue(&echo, sizeof echo.text, "\n", 1);
  return true;
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
  // The next-song script lies beside the watcher.
  add_helpers_to_path();
  survive_broken_pipes();
  open_display();
  open_framepos_dir();
  do
    take_frame_lines();
  while (take_line());
  finish();
  return 0;
}
