#include "paneldrive.h"

#include "charpanel.h"

#include <cstring>
#include <initializer_list>

namespace {

// Clear display runs for up to 1.52 ms, and the library does not wait on the busy flag.
constexpr unsigned CLEAR_WAIT_US = 2000;

// The port byte layout of charpanel.h, for the one instruction the library has no
// function for: bit 7 set, the enable strobe in bit 6, register select in bit 4, the
// nibble in bits 0-3.
constexpr unsigned char PORT_IDLE = 0x80;
constexpr unsigned char PORT_STROBE = 0x40;
constexpr unsigned char PORT_DATA = 0x10;

constexpr unsigned char SET_CGRAM_ADDRESS = 0x40;
constexpr unsigned char BLOCK_ROW = 0x1F; // five dots set
constexpr int GLYPH_ROWS = 8;

// One byte as the library sends it, through its port seam: two nibbles, each held with
// the strobe high across a microsecond and taken as the strobe falls.
void port_transfer(unsigned short port, unsigned char reg, unsigned char byte) {
  lcd_port_out(port, PORT_IDLE);
  for (unsigned char nibble :
       {static_cast<unsigned char>(byte >> 4), static_cast<unsigned char>(byte & 0x0F)}) {
    lcd_port_out(port, static_cast<unsigned char>(PORT_IDLE | PORT_STROBE | reg | nibble));
    lcd_delay_us(1);
    lcd_port_out(port, static_cast<unsigned char>(PORT_IDLE | reg | nibble));
  }
}

// User-defined character `code` as the full block: its eight rows of dots all set.
void define_block(unsigned short port, unsigned char code) {
  port_transfer(port, 0, static_cast<unsigned char>(SET_CGRAM_ADDRESS | code * GLYPH_ROWS));
  for (int row = 0; row < GLYPH_ROWS; ++row)
    port_transfer(port, PORT_DATA, BLOCK_ROW);
}

void sync_row(PanelDrive &panel, const LcdScreen &screen, int row) {
  unsigned char want[LcdScreen::COLUMNS];
  for (int column = 0; column < LcdScreen::COLUMNS; ++column)
    want[column] = lcd_rom_code(panel.rom, screen.cells[row][column]);
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
    lcd_print(panel.port, static_cast<char>(want[column]));
    have[column] = want[column];
  }
}

} // namespace

void panel_drive_init(PanelDrive &panel) {
  lcd_sysset(panel.port, 0, 1, 1);
  lcd_control(panel.port, 1, 0, 0);
  // The clear that follows puts the address counter back on the display data.
  if (panel.rom == LcdRom::A02)
    define_block(panel.port, LCD_ROM_A02_BLOCK);
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
