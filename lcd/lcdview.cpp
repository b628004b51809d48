#include "lcdview.h"

#include <cstring>
#include <initializer_list>

namespace {

char frame_char(unsigned char byte) {
  if (byte == SCREEN_BAR_GLYPH)
    return '#';
  if (byte < 32 || byte > 126)
    return '?';
  return static_cast<char>(byte);
}

void append_terminal_char(std::string &out, unsigned char byte) {
  if (byte == SCREEN_BAR_GLYPH) {
    out += "\u2588";
  } else if (byte >= 160) {
    out += static_cast<char>(0xC0 | byte >> 6);
    out += static_cast<char>(0x80 | (byte & 0x3F));
  } else if (byte < 32 || byte > 126) {
    out += '?';
  } else {
    out += static_cast<char>(byte);
  }
}

std::string horizontal_line() {
  std::string line;
  for (int i = 0; i < LcdScreen::COLUMNS; ++i)
    line += "\u2500";
  return line;
}

} // namespace

std::string lcd_frame_text(long number, const std::string &row0, const std::string &row1) {
  std::string text = "frame " + std::to_string(number) + "\n";
  for (const std::string *row : {&row0, &row1}) {
    text += '|';
    for (char c : *row)
      text += frame_char(static_cast<unsigned char>(c));
    text += "|\n";
  }
  return text;
}

LcdFrames::LcdFrames() {
  memset(last, ' ', sizeof last);
}

bool lcd_frame_take(LcdFrames &frames, const LcdScreen &screen) {
  if (memcmp(frames.last, screen.cells, sizeof frames.last) == 0)
    return false;
  memcpy(frames.last, screen.cells, sizeof frames.last);
  ++frames.count;
  return true;
}

void lcd_frames_feed(LcdFrames &frames, LcdScreen &screen, const char *bytes, size_t length,
                     std::string &out) {
  for (size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == LCD_ESC && lcd_frame_take(frames, screen))
      out += lcd_frame_text(frames.count, lcd_screen_row(screen, 0), lcd_screen_row(screen, 1));
    lcd_screen_put(screen, byte);
  }
}

std::string lcd_terminal_text(const LcdScreen &screen, bool again) {
  static const std::string line = horizontal_line();
  std::string text = again ? "\r\033[4A" : "";
  text += "\u250c" + line + "\u2510\n";
  for (int row = 0; row < LcdScreen::ROWS; ++row) {
    text += "\u2502";
    for (unsigned char byte : screen.cells[row])
      append_terminal_char(text, byte);
    text += "\u2502\n";
  }
  text += "\u2514" + line + "\u2518\n";
  return text;
}
