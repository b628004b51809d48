#include "hd44780_model.h"

#include <cstring>

namespace {

constexpr int LINE_LENGTH = 40; // display-data addresses per line
constexpr int COLUMNS = 24;

} // namespace

Hd44780Model::Hd44780Model() {
  memset(ddram_, ' ', sizeof ddram_);
}

void Hd44780Model::port_write(unsigned char value) {
  bool strobe = value & 0x40;
  if (strobe_ && !strobe) {
    bool data = value & 0x10;
    unsigned char nibble = value & 0x0F;
    if (eight_bit_) {
      execute(data, static_cast<unsigned char>(nibble << 4));
    } else if (!high_nibble_pending_) {
      high_nibble_ = nibble;
      high_nibble_pending_ = true;
    } else {
      high_nibble_pending_ = false;
      execute(data, static_cast<unsigned char>(high_nibble_ << 4 | nibble));
    }
  }
  strobe_ = strobe;
}

void Hd44780Model::execute(bool data, unsigned char byte) {
  if (!data) {
    instruction(byte);
    return;
  }
  if (on_cgram_) {
    cgram_[address_ & 0x3F] = byte & 0x1F;
    address_ = (address_ + (increment_ ? 1 : -1)) & 0x3F;
    return;
  }
  ddram_[address_ & 0x7F] = byte;
  advance();
}

// The address counter moves along a line and from the end of one line to the start of
// the other.
void Hd44780Model::advance() {
  int line = address_ & 0x40;
  int offset = (address_ & 0x3F) + (increment_ ? 1 : -1);
  if (offset >= LINE_LENGTH) {
    offset = 0;
    line ^= 0x40;
  } else if (offset < 0) {
    offset = LINE_LENGTH - 1;
    line ^= 0x40;
  }
  address_ = line | offset;
}

void Hd44780Model::instruction(unsigned char byte) {
  if (byte & 0x80) { // set display-data address
    address_ = byte & 0x7F;
    on_cgram_ = false;
  } else if (byte & 0x40) { // set character-generator address
    address_ = byte & 0x3F;
    on_cgram_ = true;
  } else if (byte & 0x20) { // function set
    eight_bit_ = byte & 0x10;
    two_lines_ = byte & 0x08;
    high_nibble_pending_ = false;
  } else if (byte & 0x10) { // cursor or display shift
    bool display = byte & 0x08;
    bool right = byte & 0x04;
    if (display)
      shift_ += right ? -1 : 1;
  } else if (byte & 0x08) { // display on/off control
    display_on_ = byte & 0x04;
  } else if (byte & 0x04) { // entry mode set
    increment_ = byte & 0x02;
  } else if (byte & 0x02) { // return home
    address_ = 0;
    on_cgram_ = false;
    shift_ = 0;
  } else if (byte & 0x01) { // clear display
    memset(ddram_, ' ', sizeof ddram_);
    address_ = 0;
    on_cgram_ = false;
    shift_ = 0;
    increment_ = true;
  }
}

char Hd44780Model::shown(int r, int column) const {
  if (!display_on_ || (r == 1 && !two_lines_))
    return ' ';
  int base = r == 0 ? 0x00 : 0x40;
  int offset = ((column + shift_) % LINE_LENGTH + LINE_LENGTH) % LINE_LENGTH;
  return static_cast<char>(ddram_[base + offset]);
}

std::string Hd44780Model::row(int r) const {
  std::string text(COLUMNS, ' ');
  for (int column = 0; column < COLUMNS; ++column)
    text[static_cast<size_t>(column)] = shown(r, column);
  return text;
}
