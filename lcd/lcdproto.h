#pragma once

// The bytes of /dev/lcd, text and escape sequences, as the display daemon writes them and
// the panel's readers (the screen model, the simulator, the panel driver) take them:
//
//   ESC "R"               reset the panel: blank screen, cursor on column 0 of row 0
//   ESC "c"               clear: blank screen, cursor on column 0 of row 0
//   ESC "K"               start of a display run: blank screen, cursor home
//   ESC "p" CC "," R      cursor to column CC (two digits) of row R (one digit)
//
// Any other byte from 32 up is a character for the cursor's cell; the byte 255 is the
// panel's full block, the glyph of the mixer bars.

inline constexpr unsigned char LCD_ESC = 27;
inline constexpr char LCD_RESET[] = "\033R";
inline constexpr char LCD_CLEAR[] = "\033c";
inline constexpr char LCD_START[] = "\033K";
inline constexpr char LCD_RESET_LETTER = 'R';
inline constexpr char LCD_CLEAR_LETTER = 'c';
inline constexpr char LCD_START_LETTER = 'K';

// The cursor sequence: ESC, this letter, two digits of the column, the separator, one
// digit of the row.
inline constexpr char LCD_CURSOR_LETTER = 'p';
inline constexpr char LCD_CURSOR_SEPARATOR = ',';
inline constexpr char LCD_CURSOR_FORMAT[] = "\033p%02i,%1i";
inline constexpr int LCD_CURSOR_LENGTH = 6;

inline constexpr unsigned char LCD_BAR_BYTE = 255;
