#include "pcf8574_model.h"

bool Pcf8574Model::backlight_on() const {
  return pins_.backlight >= 0 && pin(pins_.backlight) != pins_.backlight_low;
}

void Pcf8574Model::write(const unsigned char *bytes, size_t length) {
  ++transactions_;
  for (size_t i = 0; i < length; ++i) {
    unsigned char before = pins_state_;
    bool strobe_before = pin(pins_.e);
    pins_state_ = bytes[i];
    ++bytes_;
    unsigned char port = 0; // the lines in the HD44780 model's port layout
    for (int bit = 0; bit < 4; ++bit)
      port = static_cast<unsigned char>(port | (pin(pins_.data[bit]) ? 1 << bit : 0));
    if (pin(pins_.rs))
      port |= 0x10;
    if (pin(pins_.e))
      port |= 0x40;
    if (pin(pins_.rw))
      ++rw_high_;
    if (!strobe_before && pin(pins_.e)) {
      unsigned char lines = 0;
      for (int number : {pins_.rs, pins_.data[0], pins_.data[1], pins_.data[2], pins_.data[3]})
        lines = static_cast<unsigned char>(lines | (number >= 0 ? 1 << number : 0));
      if ((before ^ pins_state_) & lines)
        ++unsteady_strobes_;
      if (pins_.backlight >= 0 && !backlight_on())
        ++dark_strobes_;
    }
    panel_.port_write(port);
  }
}
