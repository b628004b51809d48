#pragma once

// Decimal numbers written by hand where a program writes very many of them.

// Writes `value` at p as printf's "%0*d" does with `width` (0 for plain "%d"): a minus
// sign, then the digits, zero-padded so that sign and digits fill `width`. Returns the
// end. At most 11 characters for width 0..11.
char *put_decimal(char *p, int value, int width = 0);
