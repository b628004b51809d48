#include "lcdview.h"

#include <cstring>
#include <initializer_list>

namespace {

// A cell of a text frame: the glyph of its code, the full block as '#'.
void append_frame_glyph(std::string &out, LcdRom rom, unsigned char code) {
  if (code == lcd_rom_block(rom))
    out += '#';
  else
    out += lcd_rom_glyph(rom, code);
}

std::string horizontal_line() {
  std::string line;
  for (int i = 0; i < LcdScreen::COLUMNS; ++i)
    line += "\u2500";
  return line;
}

} // namespace

std::string lcd_rom_row(LcdRom rom, const std::string &row) {
  std::string codes = row;
  for (char &c : codes)
    c = static_cast<char>(lcd_rom_code(rom, static_cast<unsigned char>(c)));
  return codes;
}

std::string lcd_panel_frame_text(long number, const std::string &codes0, const std::string &codes1,
                                 LcdRom rom) {
  std::string text = "frame " + std::to_string(number) + "\n";
  for (const std::string *row : {&codes0, &codes1}) {
    text += '|';
    for (char c : *row)
      append_frame_glyph(text, rom, static_cast<unsigned char>(c));
    text += "|\n";
  }
  return text;
}

std::string lcd_frame_text(long number, const std::string &row0, const std::string &row1,
                           LcdRom rom) {
  return lcd_panel_frame_text(number, lcd_rom_row(rom, row0), lcd_rom_row(rom, row1), rom);
}

LcdFrames::LcdFrames() {
  memset(last, ' ', sizeof last);
}

bool lcd_frame_take(LcdFrames &frames, const LcdScreen &screen) {
  unsigned char codes[LcdScreen::ROWS][LcdScreen::COLUMNS];
  for (int row = 0; row < LcdScreen::ROWS; ++row)
    for (int column = 0; column < LcdScreen::COLUMNS; ++column)
      codes[row][column] = lcd_rom_code(frames.rom, screen.cells[row][column]);
  if (memcmp(frames.last, codes, sizeof frames.last) == 0)
    return false;
  memcpy(frames.last, codes, sizeof frames.last);
  ++frames.count;
  return true;
}

void lcd_frames_feed(LcdFrames &frames, LcdScreen &screen, const char *bytes, size_t length,
                     std::string &out) {
  for (size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == LCD_ESC && lcd_frame_take(frames, screen))
      out += lcd_frame_text(frames.count, lcd_screen_row(screen, 0), lcd_screen_row(screen, 1),
                            frames.rom);
    lcd_screen_put(screen, byte);
  }
}

std::string lcd_terminal_text(const LcdScreen &screen, bool again, LcdRom rom) {
  static const std::string line = horizontal_line();
  std::string text = again ? "\r\033[4A" : "";
  text += "\u250c" + line + "\u2510\n";
  for (int row = 0; row < LcdScreen::ROWS; ++row) {
    text += "\u2502";
    for (unsigned char byte : screen.cells[row])
      text += lcd_rom_glyph(rom, lcd_rom_code(rom, byte));
    text += "\u2502\n";
  }
  text += "\u2514" + line + "\u2518\n";
  return text;
}
