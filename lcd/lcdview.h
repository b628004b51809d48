#pragma once

// How the simulator shows the screen model: as numbered text frames for tests and
// scripts, and as a framed box redrawn in place on a terminal.

#include "lcdrom.h"
#include "lcdscreen.h"

#include <cstddef>
#include <string>

// One frame as text: "frame N", then each row between bars, each cell as the glyph the
// panel with that ROM shows for it (lcdrom.h), in UTF-8, with the full block of the bar
// glyph as '#':
//
//   frame 7
//   |1/002/03 PLAY -03:12 all|
//   |########                |
std::string lcd_frame_text(long number, const std::string &row0, const std::string &row1,
                           LcdRom rom = LcdRom::A00);

// The same for rows of the panel's character codes, as a panel's controller holds them.
std::string lcd_panel_frame_text(long number, const std::string &codes0, const std::string &codes1,
                                 LcdRom rom);

// A row of the screen as the panel's character codes.
std::string lcd_rom_row(LcdRom rom, const std::string &row);

// The frames of a byte stream. A frame is the screen as it stands whenever an escape
// sequence begins, and at the end of each writer's input, provided the panel would show
// it differently from the frame before (the blank screen counts as frame 0). Taking it as a
// sequence begins rather than as it completes keeps the rows that a reset or clear is about to
// blank. The same stream gives the same frames however its bytes were split into reads.
struct LcdFrames {
  LcdRom rom = LcdRom::A00;
  unsigned char last[LcdScreen::ROWS][LcdScreen::COLUMNS]; // the panel's codes
  long count = 0;

  LcdFrames();
};

// Takes the screen as it stands: true, with a new frame numbered in frames.count, when
// the panel would show it differently from the last frame.
bool lcd_frame_take(LcdFrames &frames, const LcdScreen &screen);

// Feeds bytes to the screen and appends the text of every frame they complete to out.
// The caller adds the frame at the end of the input with lcd_frame_take.
void lcd_frames_feed(LcdFrames &frames, LcdScreen &screen, const char *bytes, size_t length,
                     std::string &out);

// The panel drawn for a terminal: a box of four lines around the two rows, each cell as
// the glyph the panel with that ROM shows for it, the bar glyph as a full block "█".
// With `again`, the text first moves the cursor back up over the previous drawing, so
// the box is redrawn in place.
std::string lcd_terminal_text(const LcdScreen &screen, bool again, LcdRom rom = LcdRom::A00);
