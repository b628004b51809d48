#pragma once

// What the panel's rows show: a text passing through row 1, and the rows drawn in a
// recorded byte stream of /dev/lcd.

#include "lcdscreen.h"

#include <string>
#include <vector>

inline const std::string WELCOME = "Welcome to VELM version 0.91  ";
inline const std::string WELCOME_ID3 = "Welcome to VELM version 0.91 (id3 tags enabled)  ";
inline const std::string BLANK_ROW(24, ' ');

// The rows of a text passing through row 1 from the right edge to the left, one column a
// draw: a blank row first, the last character alone on column 0 last.
inline std::vector<std::string> pass_through(const std::string &text) {
  std::string track = BLANK_ROW + text + BLANK_ROW;
  std::vector<std::string> rows;
  for (size_t i = 0; i < 24 + text.size(); ++i)
    rows.push_back(track.substr(i, 24));
  return rows;
}

// The rows drawn on `row`, in order, read from the device's bytes with the screen model:
// the characters written after each cursor sequence that puts the cursor on that row.
inline std::vector<std::string> drawn_rows(const std::string &bytes, int row) {
  LcdScreen screen;
  std::vector<std::string> rows;
  bool drawing = false;
  for (char c : bytes) {
    LcdEvent event = lcd_screen_put(screen, static_cast<unsigned char>(c));
    if (event == LcdEvent::Cursor) {
      drawing = screen.row == row;
      if (drawing)
        rows.emplace_back();
    } else if (event == LcdEvent::Text && drawing) {
      rows.back() += c;
    } else if (event != LcdEvent::None) {
      drawing = false;
    }
  }
  return rows;
}
