#pragma once

// velm_display: keeps the display state that display command lines set, and draws it on
// the 2x24 character LCD behind /dev/lcd ten times a second.

#include "lcdproto.h"

#include <cstddef>

inline constexpr char VERSION[] = "0.91";

// The status word of a song (PLAY, PAUS, STOP) has at most 4 characters; the line
// "display_setstatus NO MUSIC" says that no song is left to play.
inline constexpr int STATUS_WORD_MAX = 4;
inline constexpr char NO_MUSIC_WORD[] = "NO MUSIC";

// Titles hold at most 127 characters.
inline constexpr int TITLE_SIZE = 128;

// What the display shows. Everything is zero, false or empty at program start.
struct DisplayState {
  bool lcd_enabled;  // "-l": drive the LCD
  bool id3_enabled;  // "-t": prefer the ID3 title
  bool started;      // the display runs: the timer draws, the read loop leaves the LCD alone
  bool feed_watched; // a reader of the feed is there: the rows are composed without "-l" too
  char title[TITLE_SIZE];
  char id3tag_title[TITLE_SIZE];
  char status_text[9]; // a word of at most 4 characters, or "NO MUSIC"
  int status_device;
  int status_list;
  int status_song;
  char time_remaining[7];
  char random_mode[4];
  int display_mode; // 0 play status, 1 number input, 2 mixer, others blank
  int volume;
  int balance;
  int bass;
  int treble;
};
extern DisplayState display;

// The argument buffers of the read loop, one set per command. They keep their text from
// one line to the next: a field that a line does not supply applies the last text again.
struct ArgumentBuffers {
  char status_word[16];
  char status_device[2];
  char status_list[4];
  char status_song[3];
  char volume[4];
  char balance[5];
  char bass[4];
  char treble[4];
  char random_mode[4];
  char mode[2];
};

// Tests a command line against the command words in their fixed order and runs the
// operation of the word that matches; other lines are ignored.
void display_dispatch(const char *line, ArgumentBuffers &buffers);

// Copies text into a buffer of `size` bytes, cut to fit.
void copy_text(char *dest, size_t size, const char *src);

// Display operations.
void display_init();
void display_close();

// The LCD: geometry, the drawing state and the operations that write to the device.
inline constexpr int LCD_ROWS = 2;
inline constexpr int LCD_COLUMNS = 24;
inline constexpr char LCD_BAR_GLYPH = static_cast<char>(LCD_BAR_BYTE);

struct LcdState {
  char shown_title[TITLE_SIZE];
  int title_offset; // column of the title's first character: 24 just beyond the right edge
  int title_pause;  // draws left during which a long new title stands at column 0
  bool welcome_done;
  int tick_phase; // 1 or 2: which half of the two-tick cycle runs next
  int shown_volume;
  int shown_balance;
  int shown_bass;
  int shown_treble;
  int bar_hold;                     // draws of the mixer bar so far, 0..10
  char rows[LCD_ROWS][LCD_COLUMNS]; // the rows as last composed; NUL bytes before the first
};
extern LcdState lcd;

void lcd_init();
void lcd_close();
void lcd_reset();
void lcd_clear();
void lcd_startup();
void lcd_update();
// The drawing state of a start, without a word to the panel: where the display composes
// its rows for the feed alone (no "-l").
void lcd_compose_startup();

// The title the bottom row shows: the ID3 title with "-t" where the display takes it,
// else the title line's text.
const char *display_title();

// The message of the display's feed (common/panel_feed.h): the rows as last composed and
// the state they show.
struct PanelFeed;
PanelFeed display_feed();

// The bar row of a mixer value as the mixer mode draws it: exactly 24 characters, no
// terminator. Composing changes no state.
void compose_mixerbar(char *row, int value_index);

// Provided by the program around the core: the device and the timer.

// Opens /dev/lcd for writing; false (after a message on standard error) when it cannot.
bool lcd_device_open();
// Writes one sequence or row to the device at once.
void lcd_device_write(const char *bytes, size_t length);
void lcd_device_close();

// Arms the 100 ms timer afresh: the first tick comes 100 ms from now.
void timer_init();
// Disarms it: no ticks until the next timer_init.
void timer_stop();
