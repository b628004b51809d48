// Fuzzer of the HD44780 panel path. The input is
//
//   byte 0      bit 7 clear: the rest is a byte stream for /dev/lcd, fed in reads of
//               1 + (bits 0-4) bytes, to a panel with the A02 ROM when bit 5 is set (else
//               A00), behind an I2C expander when bit 6 is set (else on the port);
//               bit 7 set: the rest goes straight to the controller model's port, as any
//               program holding the port could write it
//   the rest    the stream; behind an expander, first the expander's wiring as lcdpanel's
//               -w takes it, up to a newline
//
// For a /dev/lcd stream, the screen model takes the bytes and the panel driver writes,
// through charpanel and its port seam (and the expander's bytes into an expander model),
// into the controller model: after every read the panel shows exactly the codes its ROM
// has for the two rows of the screen model, the controller stays in 4-bit two-line mode
// with the display on and its address on a cell it has, a second sync writes nothing, and
// every write goes to the panel's port. Behind the expander, RW stays low, enable never
// rises with RS or the data changing, and the backlight stays on. A wiring that is
// refused says why. For a raw port stream the model keeps its address and rows in bounds.

#include "charpanel.h"
#include "expander.h"
#include "hd44780_model.h"
#include "lcdrom.h"
#include "lcdscreen.h"
#include "memstream.h"
#include "paneldrive.h"
#include "pcf8574_model.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

Hd44780Model *model;
long port_writes;
unsigned short expected_port;
ExpanderPort *expander;
Pcf8574Model *backpack;

bool bus_write(void * /*context*/, const unsigned char *bytes, size_t length) {
  FUZZ_CHECK(length == 1 || length == 2);
  backpack->write(bytes, length);
  return true;
}

// The panel shows the codes of the screen's rows. Compared cell by cell: this runs after
// every read, and building row strings for it would cost more than the driver itself.
bool panel_shows(const LcdScreen &screen, LcdRom rom) {
  for (int row = 0; row < LcdScreen::ROWS; ++row) {
    for (int column = 0; column < LcdScreen::COLUMNS; ++column) {
      unsigned char want = lcd_rom_code(rom, screen.cells[row][column]);
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

void drive_panel(const uint8_t *data, size_t size, size_t chunk, LcdRom rom) {
  LcdScreen screen;
  PanelDrive panel;
  panel.port = expected_port = static_cast<unsigned short>(0x278 + chunk % 2 * 0x100);
  panel.rom = rom;
  const char *bytes = reinterpret_cast<const char *>(data);
  for (size_t at = 0; at < size; at += chunk) {
    panel_drive_feed(panel, screen, bytes + at, std::min(chunk, size - at));
    FUZZ_CHECK(panel.ready);
    FUZZ_CHECK(model->four_bit() && model->two_lines() && model->display_on());
    FUZZ_CHECK(valid_address(model->address()));
    FUZZ_CHECK(panel_shows(screen, rom));
    if (backpack != nullptr) {
      FUZZ_CHECK(backpack->rw_high() == 0 && backpack->unsteady_strobes() == 0);
      FUZZ_CHECK(backpack->dark_strobes() == 0);
    }
    long before = port_writes;
    panel_drive_sync(panel, screen);
    FUZZ_CHECK(port_writes == before);
  }
}

// The wiring at the start of the data, up to a newline: the bytes after it, or nullptr
// when the wiring is refused (with a reason) or there is no newline.
const uint8_t *read_wiring(const uint8_t *data, size_t size, ExpanderWiring &wiring) {
  const void *newline = memchr(data, '\n', size);
  if (newline == nullptr)
    return nullptr;
  std::string text(reinterpret_cast<const char *>(data),
                   static_cast<size_t>(static_cast<const uint8_t *>(newline) - data));
  std::string error;
  if (!expander_wiring_parse(text.c_str(), &wiring, &error)) {
    FUZZ_CHECK(!error.empty());
    return nullptr;
  }
  // Each line on a pin of its own, those a panel cannot do without among them.
  unsigned used = 0;
  int wired = 0;
  for (int pin : {wiring.rs, wiring.rw, wiring.e, wiring.backlight, wiring.data[0], wiring.data[1],
                  wiring.data[2], wiring.data[3]}) {
    FUZZ_CHECK(pin >= -1 && pin < 8);
    if (pin >= 0) {
      FUZZ_CHECK((used & 1u << pin) == 0);
      used |= 1u << pin;
      ++wired;
    }
  }
  FUZZ_CHECK(wired >= 6 && wiring.rs >= 0 && wiring.e >= 0 && wiring.data[3] >= 0);
  return static_cast<const uint8_t *>(newline) + 1;
}

void drive_bus(const uint8_t *data, size_t size, size_t chunk, LcdRom rom) {
  ExpanderPort port;
  const uint8_t *stream = read_wiring(data, size, port.wiring);
  if (stream == nullptr)
    return;
  const ExpanderWiring &w = port.wiring;
  Pcf8574Model::Pins pins = {
      w.rs, w.rw, w.e, w.backlight, w.backlight_low, {w.data[0], w.data[1], w.data[2], w.data[3]}};
  Pcf8574Model expander_model(*model, pins);
  port.write = bus_write;
  expander = &port;
  backpack = &expander_model;
  size_t stream_size = size - static_cast<size_t>(stream - data);
  drive_panel(stream, stream_size, chunk, rom);
  // The backlight is on once the driver has written to the expander; with nothing to
  // drive it has not, and the pins stand as the expander powered up.
  if (w.backlight >= 0 && stream_size > 0)
    FUZZ_CHECK(expander_model.backlight_on());
  expander = nullptr;
  backpack = nullptr;
}

} // namespace

extern "C" void lcd_port_out(unsigned short port, unsigned char value) {
  FUZZ_CHECK(port == expected_port);
  ++port_writes;
  if (expander != nullptr)
    expander_port_out(*expander, value);
  else
    model->port_write(value);
}

extern "C" void lcd_delay_us(unsigned int /*microseconds*/) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  Hd44780Model fresh;
  model = &fresh;
  port_writes = 0;
  size_t chunk = 1 + (data[0] & 0x1F);
  LcdRom rom = data[0] & 0x20 ? LcdRom::A02 : LcdRom::A00;
  if (data[0] & 0x80)
    drive_port(data + 1, size - 1);
  else if (data[0] & 0x40)
    drive_bus(data + 1, size - 1, chunk, rom);
  else
    drive_panel(data + 1, size - 1, chunk, rom);
  model = nullptr;
  return 0;
}
