#pragma once

// A model of a PCF8574 I2C expander on a panel backpack, in front of the HD44780 model:
// each byte the bus master writes to it sets its eight pins, which the backpack wires to
// the panel's RS, RW, E, D4-D7 and the backlight switch. The model passes the panel the
// lines as they stand after each byte, and keeps what a careful look at the lines would
// find wrong: RW high (the panel would drive the data lines), enable rising in the same
// byte that changes RS or the data (no setup time), a strobe while a wired backlight is
// off.

#include "hd44780_model.h"

#include <cstddef>

class Pcf8574Model {
public:
  // Which pin carries what (0-7; -1 for RW or the backlight when not wired).
  struct Pins {
    int rs, rw, e, backlight;
    bool backlight_low; // the backlight is on while its pin is low
    int data[4];        // D4-D7
  };

  Pcf8574Model(Hd44780Model &panel, const Pins &pins) : panel_(panel), pins_(pins) {}

  // One write transaction on the bus: its bytes, in order.
  void write(const unsigned char *bytes, size_t length);

  bool backlight_on() const;
  long transactions() const { return transactions_; }
  long bytes() const { return bytes_; }
  long rw_high() const { return rw_high_; }
  long unsteady_strobes() const { return unsteady_strobes_; }
  long dark_strobes() const { return dark_strobes_; }

private:
  bool pin(int number) const { return number >= 0 && (pins_state_ >> number & 1) != 0; }

  Hd44780Model &panel_;
  Pins pins_;
  unsigned char pins_state_ = 0xFF; // quasi-bidirectional pins are high at power-on
  long transactions_ = 0;
  long bytes_ = 0;
  long rw_high_ = 0;
  long unsteady_strobes_ = 0;
  long dark_strobes_ = 0;
};
