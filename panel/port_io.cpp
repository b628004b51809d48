// The panel's hardware: an x86 I/O port and the system's sleep. Kept in an object file of
// its own, so that a program defining both functions itself replaces them.

#include "charpanel.h"

#include <sys/io.h>
#include <unistd.h>

void lcd_port_out(unsigned short port, unsigned char value) {
  outb(value, port);
}

void lcd_delay_us(unsigned int microseconds) {
  usleep(microseconds);
}
