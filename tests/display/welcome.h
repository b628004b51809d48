#pragma once

// What row 1 shows while a text passes through it.

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
