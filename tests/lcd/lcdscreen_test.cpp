// The LCD screen model: what the panel shows for a byte stream.

#include "lcdscreen.h"

#include <gtest/gtest.h>
#include <string>

namespace {

LcdScreen fed(const std::string &bytes) {
  LcdScreen screen;
  lcd_screen_feed(screen, bytes.data(), bytes.size());
  return screen;
}

std::string row(const LcdScreen &s, int r) {
  return lcd_screen_row(s, r);
}

std::string pad(const std::string &text) {
  return (text + std::string(24, ' ')).substr(0, 24);
}

} // namespace

TEST(LcdScreen, SequencesPlaceTextAndClearTheScreen) {
  LcdScreen s = fed("\033p00,0Hello\033p19,1World!\033p03,0++");
  EXPECT_EQ(row(s, 0), pad("Hel++"));
  EXPECT_EQ(row(s, 1), std::string(19, ' ') + "World"); // the "!" falls beyond column 23
  EXPECT_EQ(s.row, 0);
  EXPECT_EQ(s.column, 5);

  for (const char *sequence : {"\033R", "\033c", "\033K"}) {
    LcdScreen t = fed(std::string("\033p05,1abc") + sequence + "x");
    EXPECT_EQ(row(t, 0), pad("x")) << sequence + 1;
    EXPECT_EQ(row(t, 1), pad(""));
  }
  LcdScreen counted = fed("\033R\033c\033K\033K");
  EXPECT_EQ(counted.resets, 1);
  EXPECT_EQ(counted.clears, 1);
  EXPECT_EQ(counted.starts, 2);

  // The bar glyph and any byte from 32 up are characters.
  s = fed("\033p00,1\xff\xff||\x7f");
  EXPECT_EQ(row(s, 1), pad("\xff\xff||\x7f"));
}

TEST(LcdScreen, EventsReportWhatEachByteDid) {
  LcdScreen s;
  const std::string bytes = "\033p12,1A";
  std::string events;
  for (char c : bytes)
    events += std::to_string(static_cast<int>(lcd_screen_put(s, static_cast<unsigned char>(c))));
  // None for the sequence's first five bytes, Cursor for its last, Text for "A".
  EXPECT_EQ(events, "0000045");
  EXPECT_EQ(s.column, 13);
  EXPECT_EQ(s.row, 1);
}

TEST(LcdScreen, BrokenAndUnknownInputChangesNoCell) {
  // A cursor sequence broken off: the byte that broke it counts on its own.
  LcdScreen s = fed("\033p0x\033p1");
  EXPECT_EQ(row(s, 0), pad("x"));
  s = fed("\033p00,0ab\033p0\033p00,1cd");
  EXPECT_EQ(row(s, 0), pad("ab"));
  EXPECT_EQ(row(s, 1), pad("cd"));
  // Unknown sequences and control bytes are ignored.
  s = fed("\033Za\033\033Rb\t\n\r\x01"
          "c");
  EXPECT_EQ(row(s, 0), pad("bc"));
  EXPECT_EQ(s.resets, 1);
  EXPECT_GE(s.ignored, 6);
  // A row or column the panel does not have shows nothing, and moving on stays bounded.
  s = fed("\033p00,7" + std::string(100, 'q') + "\033p99,0" + std::string(100, 'q'));
  EXPECT_EQ(row(s, 0), pad(""));
  EXPECT_EQ(row(s, 1), pad(""));
  EXPECT_EQ(row(s, 5), pad(""));
}
