#pragma once

// A real HD44780 panel kept in step with the screen model: the screen takes the bytes
// written to /dev/lcd, and the panel gets only the cells that differ from what it shows,
// through the charpanel library (which needs the port's permission first).

#include "lcdscreen.h"

#include <cstddef>

// The HD44780's own full block: 0xFF in its usual character ROM (A00).
inline constexpr unsigned char PANEL_FULL_BLOCK = 0xFF;

struct PanelDrive {
  unsigned short port = 0x378;
  unsigned char shown[LcdScreen::ROWS][LcdScreen::COLUMNS]; // what the panel shows
  bool ready = false; // set up since the start or the last reset sequence
};

// Wakes the controller (4-bit interface, two lines, 5x8 dots), turns the display on
// without a cursor and clears it.
void panel_drive_init(PanelDrive &panel);

// Writes the cells of the screen that the panel does not show yet: per row, one address
// and the run from the first to the last differing cell. Sets the panel up first when it
// is not ready.
void panel_drive_sync(PanelDrive &panel, const LcdScreen &screen);

// Feeds bytes to the screen, then brings the panel in step. A reset sequence (ESC "R")
// among them sets the controller up afresh, so a panel that lost its state recovers at
// the next start of the display.
void panel_drive_feed(PanelDrive &panel, LcdScreen &screen, const char *bytes, size_t length);
