#pragma once

// An HD44780 panel in 4-bit mode behind a PCF8574 I2C expander (a "backpack"): each byte
// written to the expander sets its eight pins P0-P7, which carry register select (RS),
// read/write (RW, kept low: the panel is only written), enable (E), the backlight switch
// and the data lines D4-D7. The panel library's port bytes (charpanel.h: the nibble in
// bits 0-3, RS in bit 4, E in bit 6) are turned into expander bytes here, so the library's
// nibbles, strobes and sleeps drive the panel on the bus as on the parallel port.

#include <cstddef>
#include <string>

// Which pin carries what: pin numbers 0-7, -1 for a line not wired (RW, tied low, or the
// backlight).
struct ExpanderWiring {
  int rs = 0;
  int rw = 1;
  int e = 2;
  int backlight = 3;
  int data[4] = {4, 5, 6, 7}; // D4-D7
  bool backlight_low = false; // the backlight is on while its pin is low
};

// The wiring of the common backpacks (the default): P0 RS, P1 RW, P2 E, P3 backlight
// (on when high), P4-P7 D4-D7, written the way expander_wiring_parse reads it.
inline constexpr char EXPANDER_COMMON_WIRING[] = "rs,rw,e,bl,d4,d5,d6,d7";

// Reads a wiring: the roles of P0 to P7 in order, separated by commas, each one of "rs",
// "rw", "e", "bl" (the backlight, on when high), "/bl" (on when low), "d4" to "d7", and
// "nc" (not connected). RS, E and D4-D7 each on exactly one pin; RW and the backlight on
// one pin or none. False, with the reason in *error, for anything else.
bool expander_wiring_parse(const char *text, ExpanderWiring *wiring, std::string *error);

// The expander byte for a port byte of the panel library: its lines on the wiring's pins,
// RW low, the backlight on.
unsigned char expander_byte(const ExpanderWiring &wiring, unsigned char port_byte);

// The expander as the panel library's port. `write` sends bytes to the expander, each
// setting its pins in turn, and returns false with errno set when the bus fails.
struct ExpanderPort {
  ExpanderWiring wiring;
  bool (*write)(void *context, const unsigned char *bytes, size_t length) = nullptr;
  void *context = nullptr;
  bool strobe = false; // enable is high
  long failures = 0;   // writes that failed
  int last_error = 0;  // errno of the last of them
};

// Writes a port byte of the panel library. When it raises enable, the pins are first set
// with enable still low, so that RS and the data are steady before the strobe rises.
void expander_port_out(ExpanderPort &port, unsigned char port_byte);

// The expander on a Linux I2C bus: opens the bus device (a path, or a bus number N for
// /dev/i2c-N) and selects the expander's 7-bit address. The descriptor, or -1 with the
// reason in *error.
int expander_open_i2c(const char *device, int address, std::string *error);

// The bus device's path for a bus number or a path.
std::string expander_device_path(const char *device);

// The `write` of an expander on the bus device whose descriptor `context` points to.
bool expander_i2c_write(void *context, const unsigned char *bytes, size_t length);
