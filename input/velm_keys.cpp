// velm_keys: the jukebox's keyboard. Keys read from the terminal become control lines on
// /tmp/fifo.control (and, for the display's modes, display lines on /tmp/fifo.display).
// Without a terminal it reads a script of steps, one a line: "wait SECONDS", "enter",
// "space", or keys typed in a row ("n", "12", "+++").
//
//   velm_keys [-h] [-H]     (-H prints the key help and ends)

#include "daemon.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

const char KEY_HELP[] =
    "space pause/play   n/p song   N/P list   d device   r order   s stop   i say title\n"
    "+/- volume   </> balance   b/B bass   t/T treble   m display mode   ,/. jump\n"
    "digits, then Enter: song of the list, or l: list of the device   q quit\n";

// One key and the control line it sends.
struct KeyLine {
  char key;
  const char *line;
};

const KeyLine KEY_LINES[] = {
    {' ', "player_pause"},       {'n', "player_nextsong"},  {'p', "player_prevsong"},
    {'N', "player_nextlist"},    {'P', "player_prevlist"},  {'d', "player_changedev"},
    {'r', "player_changernd"},   {'s', "player_stop"},      {'i', "player_sayinfo"},
    {'+', "mixer_volumeup"},     {'-', "mixer_volumedown"}, {'<', "mixer_balanceleft"},
    {'>', "mixer_balanceright"}, {'b', "mixer_bassdown"},   {'B', "mixer_bassup"},
    {'t', "mixer_trebledown"},   {'T', "mixer_trebleup"},   {',', "player_jumpbw"},
    {'.', "player_jumpfw"},
};

int control_fifo = -1;
int display_fifo = -1;
termios saved_terminal;
bool terminal_raw = false;
volatile sig_atomic_t quit_signal = 0;

// Opens a FIFO for writing once the launcher has made it and its reader is there (at
// most 10 s); without it the keys have nowhere to go.
int open_writer(const char *path) {
  int fd = fifo_open_writer(path, 10000, true);
  if (fd < 0) {
    fprintf(stderr, "velm_keys: %s: %s\n", path, strerror(errno));
    exit(1);
  }
  return fd;
}

void send(int fd, const std::string &line) {
  std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0)
    fprintf(stderr, "velm_keys: %s\n", strerror(errno));
}

// What the keys have started: a number being typed, the display mode to go back to.
struct Keys {
  std::string number;
  int mode = 0; // the display mode the m key last chose
};

// Handles one key; false for the key that quits.
bool press(Keys &keys, char key) {
  if (key >= '0' && key <= '9') {
    if (keys.number.empty())
      send(display_fifo, "display_setmode 1");
    if (keys.number.size() < 4)
      keys.number += key;
    return true;
  }
  if (!keys.number.empty()) {
    // Enter or l ends the number; any other key drops it.
    if (key == '\r' || key == '\n')
      send(control_fifo, "player_gotosong " + keys.number);
    else if (key == 'l')
      send(control_fifo, "player_gotolist " + keys.number);
    keys.number.clear();
    send(display_fifo, "display_setmode " + std::to_string(keys.mode));
    return true;
  }
  if (key == 'q')
    return false;
  if (key == 'm') {
    keys.mode = keys.mode == 0 ? 2 : 0;
    send(display_fifo, "display_setmode " + std::to_string(keys.mode));
    return true;
  }
  for (const KeyLine &k : KEY_LINES) {
    if (k.key == key)
      send(control_fifo, k.line);
  }
  return true;
}

void restore_terminal() {
  if (terminal_raw)
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  terminal_raw = false;
}

void make_terminal_raw() {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
    return;
  termios raw = saved_terminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
    terminal_raw = true;
}

void read_terminal(Keys &keys) {
  make_terminal_raw();
  char key;
  while (quit_signal == 0 && read(STDIN_FILENO, &key, 1) == 1) {
    if (!press(keys, key))
      break;
  }
  restore_terminal();
}

void pause_for(double seconds) {
  // 68 years at most, which a 32-bit time_t (i386) still holds: a wait that never ends.
  seconds = std::min(seconds, static_cast<double>(INT_MAX));
  timespec pause;
  pause.tv_sec = static_cast<time_t>(seconds);
  pause.tv_nsec = static_cast<long>((seconds - static_cast<double>(pause.tv_sec)) * 1e9);
  while (quit_signal == 0 && nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void read_script(Keys &keys) {
  char line[256];
  while (quit_signal == 0 && fgets(line, sizeof line, stdin) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    double seconds;
    // A wait too long for a double is one that never ends, which is what it asks for.
    if (sscanf(line, "wait %lf", &seconds) == 1) { // NOLINT(cert-err34-c)
      if (seconds > 0)
        pause_for(seconds);
      continue;
    }
    if (strcmp(line, "enter") == 0) {
      press(keys, '\n');
    } else if (strcmp(line, "space") == 0) {
      press(keys, ' ');
    } else {
      for (const char *key = line; *key != '\0'; ++key) {
        if (!press(keys, *key))
          return;
      }
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  int option;
  while ((option = getopt(argc, argv, "hH")) != -1) {
    if (option == 'H') {
      fputs(KEY_HELP, stdout);
      return 0;
    }
    fprintf(stderr, "usage: velm_keys [-H]\n%s", KEY_HELP);
    return option == 'h' ? 0 : 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = [](int) { quit_signal = 1; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  control_fifo = open_writer(FIFO_CONTROL_PATH);
  display_fifo = open_writer(FIFO_DISPLAY_PATH);
  Keys keys;
  if (isatty(STDIN_FILENO))
    read_terminal(keys);
  else
    read_script(keys);
  return 0;
}
