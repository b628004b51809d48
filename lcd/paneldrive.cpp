#include "paneldrive.h"

#include "charpanel.h"

#include <cstring>

namespace {

// Clear display runs for up to 1.52 ms, and the library does not wait on the busy flag.
constexpr unsigned CLEAR_WAIT_US = 2000;

char panel_code(unsigned char byte) {
  return static_cast<char>(byte == SCREEN_BAR_GLYPH ? PANEL_FULL_BLOCK : byte);
}

void sync_row(PanelDrive &panel, const LcdScreen &screen, int row) {
  const unsigned char *want = screen.cells[row];
  unsigned char *have = panel.shown[row];
  int first = 0;
  while (first < LcdScreen::COLUMNS && want[first] == have[first])
    ++first;
  if (first == LcdScreen::COLUMNS)
    return;
  int last = LcdScreen::COLUMNS - 1;
  while (want[last] == have[last])
    --last;
  lcd_charaddr(panel.port, first, row);
  for (int column = first; column <= last; ++column) {
    lcd_print(panel.port, panel_code(want[column]));
    have[column] = want[column];
  }
}

} // namespace

void panel_drive_init(PanelDrive &panel) {
  lcd_sysset(panel.port, 0, 1, 1);
  lcd_control(panel.port, 1, 0, 0);
  lcd_clear(panel.port);
  lcd_delay_us(CLEAR_WAIT_US);
  memset(panel.shown, ' ', sizeof panel.shown);
  panel.ready = true;
}

void panel_drive_sync(PanelDrive &panel, const LcdScreen &screen) {
  if (!panel.ready)
    panel_drive_init(panel);
  for (int row = 0; row < LcdScreen::ROWS; ++row)
    sync_row(panel, screen, row);
}

void panel_drive_feed(PanelDrive &panel, LcdScreen &screen, const char *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (lcd_screen_put(screen, static_cast<unsigned char>(bytes[i])) == LcdEvent::Reset)
      panel.ready = false;
  }
  panel_drive_sync(panel, screen);
}
