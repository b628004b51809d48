// The panel's hardware: an x86 I/O port and the system's sleep. Kept in an object file of
// its own, so that a program defining both functions itself replaces them.

#include "charpanel.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif
#include <unistd.h>

void lcd_port_out(unsigned short port, unsigned char value) {
#if defined(__i386__) || defined(__x86_64__)
  outb(value, port);
#else
  // No I/O ports on this machine (arm64): no port can be claimed (lcdpanel says so and
  // stops), so nothing is written here; a program for its own wiring defines this itself.
  (void)port;
  (void)value;
#endif
}

void lcd_delay_us(unsigned int microseconds) {
  usleep(microseconds);
}
