#include "format.h"

char *put_decimal(char *p, int value, int width) {
  unsigned magnitude = static_cast<unsigned>(value);
  if (value < 0) {
    *p++ = '-';
    magnitude = 0u - magnitude;
    --width;
  }
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  for (int pad = width - n; pad > 0; --pad)
    *p++ = '0';
  while (n > 0)
    *p++ = digits[--n];
  return p;
}
