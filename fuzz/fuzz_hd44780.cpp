// Fuzzer of the HD44780 panel path. The input is
//
//   byte 0      bit 7 clear: the rest is a byte stream for /dev/lcd, fed in reads of
//               1 + (bits 0-6) bytes; bit 7 set: the rest goes straight to the
//               controller model's port, as any program holding the port could write it
//   the rest    the stream
//
// For a /dev/lcd stream, the screen model takes the bytes and the panel driver writes,
// through charpanel and its port seam, into the controller model: after every read the
// panel shows exactly the two rows of the screen model (the bar glyph as the panel's full
// block), the controller stays in 4-bit two-line mode with the display on and its address
// on a cell it has, a second sync writes nothing, and every write goes to the panel's
// port. For a raw port stream the model keeps its address and rows in bounds.

#include "charpanel.h"
#include "hd44780_model.h"
#include "lcdscreen.h"
#include "memstream.h"
#include "paneldrive.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

Hd44780Model *model;
long port_writes;
unsigned short expected_port;

// The panel shows the screen's rows, the bar glyph as its own full block. Compared cell
// by cell: this runs after every read, and building row strings for it would cost more
// than the driver itself.
bool panel_shows(const LcdScreen &screen) {
  for (int row = 0; row < LcdScreen::ROWS; ++row) {
    for (int column = 0; column < LcdScreen::COLUMNS; ++column) {
      unsigned char cell = screen.cells[row][column];
      unsigned char want = cell == SCREEN_BAR_GLYPH ? PANEL_FULL_BLOCK : cell;
      if (static_cast<unsigned char>(model->shown(row, column)) != want)
        return false;
    }
  }
  return true;
}

// An address the controller has: 0x00-0x27 on the first line, 0x40-0x67 on the second.
bool valid_address(int address) {
  return (address & ~0x7F) == 0 && (address & 0x3F) < 40;
}

void check_rows() {
  for (int row = 0; row < 2; ++row)
    FUZZ_CHECK(model->row(row).size() == LcdScreen::COLUMNS);
}

void drive_port(const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    model->port_write(data[i]);
    FUZZ_CHECK((model->address() & ~0x7F) == 0);
  }
  check_rows();
}

void drive_panel(const uint8_t *data, size_t size, size_t chunk) {
  LcdScreen screen;
  PanelDrive panel;
  panel.port = expected_port = static_cast<unsigned short>(0x278 + chunk % 2 * 0x100);
  const char *bytes = reinterpret_cast<const char *>(data);
  for (size_t at = 0; at < size; at += chunk) {
    panel_drive_feed(panel, screen, bytes + at, std::min(chunk, size - at));
    FUZZ_CHECK(panel.ready);
    FUZZ_CHECK(model->four_bit() && model->two_lines() && model->display_on());
    FUZZ_CHECK(valid_address(model->address()));
    FUZZ_CHECK(panel_shows(screen));
    long before = port_writes;
    panel_drive_sync(panel, screen);
    FUZZ_CHECK(port_writes == before);
  }
}

} // namespace

extern "C" void lcd_port_out(unsigned short port, unsigned char value) {
  FUZZ_CHECK(port == expected_port);
  ++port_writes;
  model->port_write(value);
}

extern "C" void lcd_delay_us(unsigned int /*microseconds*/) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  Hd44780Model fresh;
  model = &fresh;
  port_writes = 0;
  if (data[0] & 0x80)
    drive_port(data + 1, size - 1);
  else
    drive_panel(data + 1, size - 1, 1 + (data[0] & 0x7F));
  model = nullptr;
  return 0;
}
