#ifndef CHARPANEL_H
#define CHARPANEL_H

/* Driver of a character LCD with an HD44780-compatible controller, wired in 4-bit mode to
 * one 8-bit x86 I/O output port. Every port byte carries a nibble in bits 0-3, register
 * select in bit 4 (1 for characters), the enable strobe in bit 6 and bit 7 set. The
 * library only writes the port and times everything with sleeps; the caller must hold
 * permission to write the port (ioperm) before the first call. Not for concurrent use. */

#ifdef __cplusplus
extern "C" {
#endif

/* Wakes the controller and sets its function: a non-zero selects the 8-bit interface,
 * b two display lines, and c zero the 5x10 dot font (c works the other way round). */
void lcd_sysset(unsigned short port, int a, int b, int c);
/* Display on, cursor shown, cursor blinking (non-zero flags). */
void lcd_control(unsigned short port, int display, int cursor, int blink);
/* Shifts the whole display one position: right for direction 1, left for any other. */
void lcd_shift(unsigned short port, int direction);
void lcd_clear(unsigned short port);
void lcd_home(unsigned short port);
/* Moves the cursor: row 0 starts at address 0x00, row 1 at 0x40; cut to 7 bits. */
void lcd_charaddr(unsigned short port, int column, int row);
void lcd_print(unsigned short port, char ch);
void lcd_printstr(unsigned short port, const char *text);

/* The hardware seam. The library writes every port byte and does every sleep through
 * these two; the archive's own versions (outb and usleep) live in an object file of their
 * own, so a program that defines both itself, such as a test or a simulator, replaces
 * them. */
void lcd_port_out(unsigned short port, unsigned char value);
void lcd_delay_us(unsigned int microseconds);

#ifdef __cplusplus
}
#endif

#endif
