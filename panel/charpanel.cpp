#include "charpanel.h"

namespace {

constexpr unsigned char LINES_IDLE = 0x80; // bit 7 set, strobe low
constexpr unsigned char STROBE = 0x40;     // enable: the nibble is taken on its fall
constexpr unsigned char DATA = 0x10;       // register select: characters
constexpr unsigned char INSTRUCTION = 0x00;

constexpr int SHADOW_SIZE = 164;

// The cursor as last set, and the characters written. Nothing reads them back.
struct {
  int column;
  int row;
  char shadow[SHADOW_SIZE];
} mylcd;

// One nibble: strobe high for a moment, then low with the same nibble.
void send_nibble(unsigned short port, unsigned char reg, unsigned char nibble) {
  lcd_port_out(port, static_cast<unsigned char>(LINES_IDLE | STROBE | reg | nibble));
  lcd_delay_us(1);
  lcd_port_out(port, static_cast<unsigned char>(LINES_IDLE | reg | nibble));
}

// A byte as two nibbles, high first.
void send_nibbles(unsigned short port, unsigned char reg, unsigned char byte) {
  send_nibble(port, reg, static_cast<unsigned char>(byte >> 4));
  send_nibble(port, reg, static_cast<unsigned char>(byte & 0x0F));
}

// The full transfer: all lines low but bit 7, then the two nibbles.
void transfer(unsigned short port, unsigned char reg, unsigned char byte) {
  lcd_port_out(port, LINES_IDLE);
  send_nibbles(port, reg, byte);
}

} // namespace

void lcd_sysset(unsigned short port, int a, int b, int c) {
  lcd_port_out(port, 0x00);
  lcd_delay_us(1);
  lcd_port_out(port, LINES_IDLE);
  unsigned char function = 0x20;
  if (a)
    function |= 0x10;
  if (b)
    function |= 0x08;
  if (!c)
    function |= 0x04;
  // The controller's documented wake-up: function set 8-bit three times, then 4-bit.
  // Whatever state the controller is in, the three leave it in 8-bit mode: just powered
  // on, each nibble is a whole instruction; in 4-bit mode, the first two make one; in
  // 4-bit mode with half a byte received (a driver stopped in the middle of a transfer),
  // the first completes that byte and the next two find it in step. Then 2 switches to
  // 4 bits, and the function set below is taken as two nibbles.
  send_nibble(port, INSTRUCTION, 0x3);
  lcd_delay_us(5000);
  send_nibble(port, INSTRUCTION, 0x3);
  lcd_delay_us(150);
  send_nibble(port, INSTRUCTION, 0x3);
  send_nibble(port, INSTRUCTION, 0x2);
  send_nibbles(port, INSTRUCTION, function);
}

void lcd_control(unsigned short port, int display, int cursor, int blink) {
  unsigned char byte = 0x08;
  if (display)
    byte |= 0x04;
  if (cursor)
    byte |= 0x02;
  if (blink)
    byte |= 0x01;
  transfer(port, INSTRUCTION, byte);
}

void lcd_shift(unsigned short port, int direction) {
  transfer(port, INSTRUCTION, direction == 1 ? 0x1C : 0x18);
}

void lcd_clear(unsigned short port) {
  transfer(port, INSTRUCTION, 0x01);
}

void lcd_home(unsigned short port) {
  mylcd.column = 0;
  mylcd.row = 0;
  transfer(port, INSTRUCTION, 0x03);
}

void lcd_charaddr(unsigned short port, int column, int row) {
  mylcd.column = column;
  mylcd.row = row;
  unsigned address = (static_cast<unsigned>(column) + 64u * static_cast<unsigned>(row)) & 0x7F;
  transfer(port, INSTRUCTION, static_cast<unsigned char>(0x80 | address));
}

void lcd_print(unsigned short port, char ch) {
  // Row and column are not limited by lcd_charaddr: a store that would fall outside the
  // shadow is left out.
  long index = static_cast<long>(mylcd.row) * 2 + mylcd.column;
  if (index >= 0 && index < SHADOW_SIZE)
    mylcd.shadow[index] = ch;
  mylcd.column = static_cast<int>((static_cast<long>(mylcd.column) + 1) % 2);
  transfer(port, DATA, static_cast<unsigned char>(ch));
}

void lcd_printstr(unsigned short port, const char *text) {
  for (const char *p = text; *p != '\0'; ++p)
    lcd_print(port, *p);
}
