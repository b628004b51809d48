#pragma once

// A model of an HD44780-compatible controller with a 2x24 panel, wired in 4-bit mode to
// an 8-bit port: bits 0-3 carry a nibble to the data lines D4-D7 (D0-D3 stay low),
// bit 4 is register select, bit 6 the enable strobe. The controller takes the lines on
// the falling edge of enable. After power-on it is in 8-bit mode, where each such edge
// is a whole instruction; after a function set for 4 bits, two edges (high nibble, then
// low) make one byte. It keeps the display-data RAM (0x00-0x27 for the first line,
// 0x40-0x67 for the second), the character-generator RAM of the eight user-defined
// characters, the address counter (on either RAM), display on/off and the display shift,
// so a test can read the two rows a person would see.

#include <string>

class Hd44780Model {
public:
  Hd44780Model();

  // One byte written to the port.
  void port_write(unsigned char value);

  // Row 0 or 1 as shown: 24 characters, blanks where the display is off.
  std::string row(int r) const;
  // One character of it (column 0 to 23).
  char shown(int r, int column) const;

  bool four_bit() const { return !eight_bit_; }
  // In 4-bit mode, the high nibble of a byte taken and the low one still to come.
  bool half_byte() const { return high_nibble_pending_; }
  bool two_lines() const { return two_lines_; }
  bool display_on() const { return display_on_; }
  int address() const { return address_; }
  // The address counter is on the character-generator RAM (after its address was set).
  bool on_cgram() const { return on_cgram_; }
  // Row 0-7 of user-defined character 0-7: the five dots in bits 0-4.
  unsigned char glyph_row(int code, int row) const { return cgram_[(code * 8 + row) & 0x3F]; }

private:
  void execute(bool data, unsigned char byte);
  void instruction(unsigned char byte);
  void advance();

  unsigned char ddram_[128];
  unsigned char cgram_[64] = {};
  bool on_cgram_ = false;
  int address_ = 0;
  int shift_ = 0; // display shift: how far the window has moved left over the line
  bool eight_bit_ = true;
  bool two_lines_ = false;
  bool display_on_ = false;
  bool increment_ = true;
  bool high_nibble_pending_ = false;
  unsigned char high_nibble_ = 0;
  bool strobe_ = false;
};
