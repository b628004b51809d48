// The display command lines and the state they set, with the start/restart state machine.

#include "convert.h"
#include "daemon.h"
#include "display.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

DisplayState display;

namespace {

const char WELCOME_FORMAT[] = "Welcome to VELM version %s  ";
const char WELCOME_ID3_FORMAT[] = "Welcome to VELM version %s (id3 tags enabled)  ";

bool starts_with(const char *line, const char *word) {
  return strncmp(line, word, strlen(word)) == 0;
}

// The panel shows one byte a cell, in the Latin-1 character set. Titles of today come in
// UTF-8, where an accented letter takes two bytes: each character of Latin-1 becomes its
// one byte, any other character "?". Bytes that are not UTF-8 (titles already in
// Latin-1) stay as they are.
void utf8_to_latin1(char *text) {
  auto *in = reinterpret_cast<unsigned char *>(text);
  auto *out = in;
  while (*in != 0) {
    unsigned char c = *in;
    int length = c >= 0xc2 && c <= 0xdf   ? 2
                 : c >= 0xe0 && c <= 0xef ? 3
                 : c >= 0xf0 && c <= 0xf4 ? 4
                                          : 1;
    bool sequence = length > 1;
    for (int i = 1; i < length && sequence; ++i)
      sequence = (in[i] & 0xc0) == 0x80;
    if (!sequence) {
      *out++ = *in++;
      continue;
    }
    *out++ = length == 2 && c <= 0xc3
                 ? static_cast<unsigned char>(((c & 0x03) << 6) | (in[1] & 0x3f))
                 : '?';
    in += length;
  }
  *out = 0;
}

// Copies the text from index `skip` of the line (after the word and one separating
// character) into a title, at most 127 characters. A line too short to reach that far
// gives the empty title.
void copy_title(char *title, const char *line, size_t skip) {
  size_t length = strnlen(line, TITLE_SIZE + skip);
  size_t n = length > skip ? length - skip : 0;
  if (n > TITLE_SIZE - 1)
    n = TITLE_SIZE - 1;
  memcpy(title, line + (length > skip ? skip : length), n);
  title[n] = '\0';
  utf8_to_latin1(title);
}

} // namespace

void copy_text(char *dest, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dest, src, n);
  dest[n] = '\0';
}

namespace {

void display_setmode(int mode) {
  debug_tracef("display_setmode %i", mode);
  display.display_mode = mode;
}

void display_reset() {
  debug_trace("display_reset");
  if (display.lcd_enabled)
    lcd_reset();
}

void display_clear() {
  debug_trace("display_clear");
  if (display.lcd_enabled)
    lcd_clear();
}

void display_startup() {
  debug_trace("display_startup");
  if (display.started) {
    debug_trace("display_already_started");
    return;
  }
  snprintf(display.title, sizeof display.title, WELCOME_FORMAT, VERSION);
  snprintf(display.id3tag_title, sizeof display.id3tag_title, WELCOME_ID3_FORMAT, VERSION);
  display.status_text[0] = '\0';
  display.status_device = display.status_list = display.status_song = 0;
  display.volume = display.balance = display.bass = display.treble = 0;
  display.time_remaining[0] = '\0';
  if (display.lcd_enabled)
    lcd_startup();
  else
    lcd_compose_startup();
  display_setmode(0);
  // Without "-l" the rows are composed only for the feed's readers: no ticks without them.
  if (display.lcd_enabled || display.feed_watched)
    timer_init();
  display.started = true;
  debug_trace("display_started");
}

void display_restart() {
  debug_trace("display_restart");
  if (!display.started) {
    debug_trace("display_not_yet_started");
    return;
  }
  display.started = false;
  display_reset();
  display_clear();
  display_startup();
  debug_trace("display_restarted");
}

void display_settitle(const char *line) {
  debug_trace("display_settitle");
  copy_title(display.title, line, 17);
}

void display_setid3tagtitle(const char *line) {
  debug_trace("display_setid3tagtitle");
  copy_title(display.id3tag_title, line, 23);
}

void display_setstatus(const char *word, int device, int list, int song) {
  copy_text(display.status_text, STATUS_WORD_MAX + 1, word);
  display.status_device = device;
  display.status_list = list;
  display.status_song = song;
}

// No song left to play (the last stick with music was pulled out): the status line says
// so, and neither a title nor a time stays from the song that went.
void display_setnomusic() {
  debug_trace("display_setnomusic");
  copy_text(display.status_text, sizeof display.status_text, NO_MUSIC_WORD);
  display.status_device = display.status_list = display.status_song = 0;
  display.title[0] = '\0';
  display.id3tag_title[0] = '\0';
  display.time_remaining[0] = '\0';
}

void display_settime(const char *line) {
  (void)sscanf(line, "display_settime %*6[+:1234567890] %6[-:1234567890]", display.time_remaining);
}

void display_setvolume(int value) {
  display.volume = value;
}

void display_setbalance(int value) {
  display.balance = value;
}

void display_setbass(int value) {
  display.bass = value;
}

void display_settreble(int value) {
  display.treble = value;
}

void display_setrandommode(const char *text) {
  debug_trace("display_setrandommode");
  copy_text(display.random_mode, sizeof display.random_mode, text);
}

} // namespace

void display_dispatch(const char *line, ArgumentBuffers &b) {
  // sscanf writes a field only when it converts, and stops at the first field that does
  // not: the fields a line does not supply keep the text of the last line.
  if (strcmp(line, "display_startup") == 0)
    display_startup();
  if (strcmp(line, "display_restart") == 0)
    display_restart();
  if (starts_with(line, "display_settitle"))
    display_settitle(line);
  if (starts_with(line, "display_setid3tagtitle"))
    display_setid3tagtitle(line);
  if (starts_with(line, "display_setstatus ") &&
      strcmp(line + strlen("display_setstatus "), NO_MUSIC_WORD) == 0) {
    display_setnomusic();
  } else if (starts_with(line, "display_setstatus")) {
    (void)sscanf(line, "display_setstatus %15s %1[1234567890] %3[1234567890] %2[1234567890]",
                 b.status_word, b.status_device, b.status_list, b.status_song);
    display_setstatus(b.status_word, parse_atoi(b.status_device), parse_atoi(b.status_list),
                      parse_atoi(b.status_song));
  }
  if (starts_with(line, "display_settime"))
    display_settime(line);
  if (starts_with(line, "display_setvolume")) {
    (void)sscanf(line, "display_setvolume %3[1234567890]", b.volume);
    display_setvolume(parse_atoi(b.volume));
  }
  if (starts_with(line, "display_setbalance")) {
    (void)sscanf(line, "display_setbalance %4[-1234567890]", b.balance);
    display_setbalance(parse_atoi(b.balance));
  }
  if (starts_with(line, "display_setbass")) {
    (void)sscanf(line, "display_setbass %3[1234567890]", b.bass);
    display_setbass(parse_atoi(b.bass));
  }
  if (starts_with(line, "display_settreble")) {
    (void)sscanf(line, "display_settreble %3[1234567890]", b.treble);
    display_settreble(parse_atoi(b.treble));
  }
  if (starts_with(line, "display_setrandommode")) {
    (void)sscanf(line, "display_setrandommode %3[^\n]", b.random_mode);
    display_setrandommode(b.random_mode);
  }
  if (starts_with(line, "display_setmode")) {
    (void)sscanf(line, "display_setmode %1[1234567890]", b.mode);
    display_setmode(parse_atoi(b.mode));
  }
}

void display_init() {
  debug_trace("display_init");
  display.started = false;
  if (display.lcd_enabled)
    lcd_init();
}

void display_close() {
  debug_trace("display_close");
  display.started = false;
  if (display.lcd_enabled)
    lcd_close();
}
