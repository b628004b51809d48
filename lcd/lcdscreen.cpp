#include "lcdscreen.h"

#include <cstring>

namespace {

void blank(LcdScreen &s) {
  memset(s.cells, ' ', sizeof s.cells);
  s.row = 0;
  s.column = 0;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Takes the next byte of a cursor sequence ("p", two digits, ",", one digit). Returns
// false when the byte does not belong there.
bool cursor_byte(LcdScreen &s, char c) {
  int n = s.sequence_length;
  bool fits = n == 1 || n == 2 || n == 4 ? is_digit(c) : c == LCD_CURSOR_SEPARATOR;
  if (!fits)
    return false;
  s.sequence[s.sequence_length++] = c;
  return true;
}

} // namespace

LcdScreen::LcdScreen() {
  blank(*this);
}

LcdEvent lcd_screen_put(LcdScreen &s, unsigned char byte) {
  char c = static_cast<char>(byte);
  if (s.escaped) {
    if (s.sequence_length == 0) {
      s.escaped = false;
      switch (c) {
      case LCD_RESET_LETTER:
        blank(s);
        ++s.resets;
        return LcdEvent::Reset;
      case LCD_CLEAR_LETTER:
        blank(s);
        ++s.clears;
        return LcdEvent::Clear;
      case LCD_START_LETTER:
        blank(s);
        ++s.starts;
        return LcdEvent::Start;
      case LCD_CURSOR_LETTER:
        s.escaped = true;
        s.sequence[s.sequence_length++] = c;
        return LcdEvent::None;
      case static_cast<char>(LCD_ESC):
        s.escaped = true;
        ++s.ignored;
        return LcdEvent::None;
      default:
        ++s.ignored;
        return LcdEvent::None;
      }
    }
    if (cursor_byte(s, c)) {
      if (s.sequence_length < LCD_CURSOR_LENGTH - 1)
        return LcdEvent::None;
      s.escaped = false;
      s.sequence_length = 0;
      s.column = (s.sequence[1] - '0') * 10 + (s.sequence[2] - '0');
      s.row = s.sequence[4] - '0';
      return LcdEvent::Cursor;
    }
    // A broken cursor sequence is dropped; the byte counts on its own.
    s.escaped = false;
    s.sequence_length = 0;
    ++s.ignored;
  }
  if (byte == LCD_ESC) {
    s.escaped = true;
    s.sequence_length = 0;
    return LcdEvent::None;
  }
  if (byte < 32) {
    ++s.ignored;
    return LcdEvent::None;
  }
  if (s.row >= 0 && s.row < LcdScreen::ROWS && s.column >= 0 && s.column < LcdScreen::COLUMNS)
    s.cells[s.row][s.column] = byte;
  if (s.column < LcdScreen::COLUMNS)
    ++s.column;
  return LcdEvent::Text;
}

void lcd_screen_feed(LcdScreen &s, const char *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i)
    lcd_screen_put(s, static_cast<unsigned char>(bytes[i]));
}

std::string lcd_screen_row(const LcdScreen &s, int row) {
  if (row < 0 || row >= LcdScreen::ROWS)
    return std::string(LcdScreen::COLUMNS, ' ');
  return std::string(reinterpret_cast<const char *>(s.cells[row]), LcdScreen::COLUMNS);
}

void lcd_screen_break(LcdScreen &s) {
  s.escaped = false;
  s.sequence_length = 0;
}
