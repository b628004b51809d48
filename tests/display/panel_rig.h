#pragma once

// The display's core driven in the test's own process: the device and the timer are
// the rig's, every byte written to the LCD is kept and fed to the screen model, and the
// test runs the ticks itself, so screens can be checked tick by tick.

#include "display.h"
#include "lcdscreen.h"

#include <string>
#include <vector>

// One row (or farewell line) written after a cursor sequence.
struct Draw {
  int row;
  std::string text;
};

struct PanelRig {
  bool device_present = true; // lcd_device_open fails when false
  bool device_open = false;
  int timer_arms = 0;
  std::string bytes; // everything written to the device
  LcdScreen screen;
  std::vector<Draw> draws;
  ArgumentBuffers buffers = {};
};

extern PanelRig rig;

// Starts afresh: program-start state, options as given, device opened as display_init
// does.
void rig_start(bool lcd_enabled, bool id3_enabled);

// One command line through the dispatcher.
void rig_line(const std::string &line);

// n timer expiries.
void rig_ticks(int n);

// The draws of one row from draw `from` on.
std::vector<std::string> rig_rows(int row, size_t from = 0);

// Text with the bar glyph shown as '#' and ESC as '^', for readable expectations.
std::string shown(const std::string &text);
