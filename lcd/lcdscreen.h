#pragma once

// The screen of the jukebox's 2x24 character LCD as its character driver keeps it: fed
// the bytes a program writes to /dev/lcd, text and escape sequences (ESC is 27):
//
//   ESC "R"               reset the panel: blank screen, cursor on column 0 of row 0
//   ESC "c"               clear: blank screen, cursor on column 0 of row 0
//   ESC "K"               start of a display run: blank screen, cursor home
//   ESC "p" CC "," R      cursor to column CC (two digits) of row R (one digit)
//
// Any other byte from 32 up is a character: it shows on the cursor's cell and the
// cursor moves one column to the right. Characters beyond column 23, or on a row or
// column the panel does not have, are not shown. Other control bytes are ignored, as is
// an escape sequence the driver does not know; a cursor sequence broken off by an
// unexpected byte is dropped and that byte taken afresh. The byte 255 is the panel's
// full block, the glyph of the mixer bars.

#include "lcdproto.h"

#include <cstddef>
#include <string>

struct LcdScreen {
  static constexpr int ROWS = 2;
  static constexpr int COLUMNS = 24;

  unsigned char cells[ROWS][COLUMNS];
  int row = 0;
  int column = 0;

  // An escape sequence under way: its bytes after ESC.
  bool escaped = false;
  char sequence[6] = {};
  int sequence_length = 0;

  long resets = 0;
  long clears = 0;
  long starts = 0;
  long ignored = 0; // control bytes and sequences the driver does not know

  LcdScreen();
};

// What a byte did.
enum class LcdEvent {
  None,   // part of an escape sequence still under way, or ignored
  Reset,  // ESC "R" completed
  Clear,  // ESC "c" completed
  Start,  // ESC "K" completed
  Cursor, // a cursor sequence completed: row and column are where it put the cursor
  Text,   // a character written (shown or not) at the cursor, which has moved on
};

LcdEvent lcd_screen_put(LcdScreen &screen, unsigned char byte);

// Feeds a run of bytes.
void lcd_screen_feed(LcdScreen &screen, const char *bytes, size_t length);

// One row as 24 bytes, as shown.
std::string lcd_screen_row(const LcdScreen &screen, int row);

// Drops an escape sequence under way, as the driver does when its writer closes the
// device: the next writer's bytes start afresh.
void lcd_screen_break(LcdScreen &screen);

// The panel's full block, the glyph of the mixer bars.
inline constexpr unsigned char SCREEN_BAR_GLYPH = LCD_BAR_BYTE;
