#pragma once

// A real HD44780 panel kept in step with the screen model: the screen takes the bytes
// written to /dev/lcd, and the panel gets only the cells that differ from what it shows,
// through the charpanel library (whose port output the program provides: the x86 port,
// or an I2C expander). Each byte of the screen goes to the panel as the code its
// character ROM has for it (lcdrom.h).

#include "lcdrom.h"
#include "lcdscreen.h"

#include <cstddef>

struct PanelDrive {
  unsigned short port = 0x378;
  LcdRom rom = LcdRom::A00;
  unsigned char shown[LcdScreen::ROWS][LcdScreen::COLUMNS]; // the codes the panel shows
  bool ready = false; // set up since the start or the last reset sequence
};

// Wakes the controller (4-bit interface, two lines, 5x8 dots), turns the display on
// without a cursor and clears it. On A02, which has no full block, it first defines
// user-defined character 0 as one.
void panel_drive_init(PanelDrive &panel);

// Writes the cells of the screen that the panel does not show yet: per row, one address
// and the run from the first to the last differing cell. Sets the panel up first when it
// is not ready.
void panel_drive_sync(PanelDrive &panel, const LcdScreen &screen);

// Feeds bytes to the screen, then brings the panel in step. A reset sequence (ESC "R")
// among them sets the controller up afresh, so a panel that lost its state recovers at
// the next start of the display.
void panel_drive_feed(PanelDrive &panel, LcdScreen &screen, const char *bytes, size_t length);
