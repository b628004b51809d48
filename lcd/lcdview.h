#pragma once

// How the simulator shows the screen model: as numbered text frames for tests and
// scripts, and as a framed box redrawn in place on a terminal.

#include "lcdscreen.h"

#include <cstddef>
#include <string>

// One frame as text: "frame N", then each row between bars, with the bar glyph as '#'
// and any other byte outside printable ASCII as '?':
//
//   frame 7
//   |1/002/03 PLAY -03:12 all|
//   |########                |
std::string lcd_frame_text(long number, const std::string &row0, const std::string &row1);

// The frames of a byte stream. A frame is the screen as it stands whenever an escape
// sequence begins, and at the end of each writer's input, provided it differs from the
// frame before (the blank screen counts as frame 0). Taking it as a sequence begins
// rather than as it completes keeps the rows that a reset or clear is about to blank.
// The same stream gives the same frames however its bytes were split into reads.
struct LcdFrames {
  unsigned char last[LcdScreen::ROWS][LcdScreen::COLUMNS];
  long count = 0;

  LcdFrames();
};

// Takes the screen as it stands: true, with a new frame numbered in frames.count, when
// it differs from the last frame.
bool lcd_frame_take(LcdFrames &frames, const LcdScreen &screen);

// Feeds bytes to the screen and appends the text of every frame they complete to out.
// The caller adds the frame at the end of the input with lcd_frame_take.
void lcd_frames_feed(LcdFrames &frames, LcdScreen &screen, const char *bytes, size_t length,
                     std::string &out);

// The panel drawn for a terminal: a box of four lines around the two rows, the bar glyph
// as a full block "█" and bytes 160-254 as their Latin-1 characters (UTF-8 encoded).
// With `again`, the text first moves the cursor back up over the previous drawing, so
// the box is redrawn in place.
std::string lcd_terminal_text(const LcdScreen &screen, bool again);
