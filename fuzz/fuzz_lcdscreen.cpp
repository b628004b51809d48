// Fuzzer of the LCD screen model: any byte stream, as a program could write it to
// /dev/lcd. The screen stays 2x24, the cursor's column never runs past the panel's
// end by more than a cursor sequence can put it, and a reset, clear or start leaves a
// blank screen.

#include "lcdscreen.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  LcdScreen screen;
  for (size_t i = 0; i < size; ++i) {
    LcdEvent event = lcd_screen_put(screen, data[i]);
    if (screen.column < 0 || screen.column > 99 || screen.row < 0 || screen.row > 9)
      abort();
    if (event == LcdEvent::Reset || event == LcdEvent::Clear || event == LcdEvent::Start) {
      for (int row = 0; row < LcdScreen::ROWS; ++row) {
        if (lcd_screen_row(screen, row) != std::string(LcdScreen::COLUMNS, ' '))
          abort();
      }
    }
  }
  return 0;
}
