#include "latin1.h"

#include <cstdint>

namespace {

// The letters of Latin Extended-A, U+0100 to U+017F, without their accents (ligatures
// and letters with a stroke as their first or base letter).
constexpr char EXTENDED_A[] = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGg"
                              "GgGgHhHhIiIiIiIiIiIiJjKkkLlLlLlL"
                              "lLlNnNnNnnNnOoOoOoOoRrRrRrSsSsSs"
                              "SsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
static_assert(sizeof EXTENDED_A == 0x80 + 1);

// The punctuation of other blocks that titles carry, as one Latin-1 character.
char punctuation(uint32_t code) {
  switch (code) {
  case 0x2010: // hyphens and dashes
  case 0x2011:
  case 0x2012:
  case 0x2013:
  case 0x2014:
  case 0x2015:
  case 0x2212: // minus sign
    return '-';
  case 0x2018: // single quotation marks, prime
  case 0x2019:
  case 0x201A:
  case 0x201B:
  case 0x2032:
    return '\'';
  case 0x201C: // double quotation marks, double prime
  case 0x201D:
  case 0x201E:
  case 0x201F:
  case 0x2033:
    return '"';
  case 0x2000: // spaces of other widths
  case 0x2001:
  case 0x2002:
  case 0x2003:
  case 0x2004:
  case 0x2005:
  case 0x2006:
  case 0x2007:
  case 0x2008:
  case 0x2009:
  case 0x200A:
  case 0x202F:
  case 0x205F:
  case 0x3000:
    return ' ';
  case 0x2022: // bullet, dot operator
  case 0x22C5:
    return static_cast<char>(0xB7);
  default:
    return '?';
  }
}

char latin1_of(uint32_t code) {
  if (code < 0xA0) // the C1 control characters
    return ' ';
  if (code < 0x100)
    return static_cast<char>(code);
  if (code < 0x180)
    return EXTENDED_A[code - 0x100];
  return punctuation(code);
}

// The length of the well-formed UTF-8 sequence at `s` (2 to 4) with its character in
// `code`; 0 when the bytes there are not one (overlong forms, surrogates and values
// beyond U+10FFFF included).
int utf8_sequence(const unsigned char *s, uint32_t *code) {
  int length;
  uint32_t value;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    length = 2;
    value = s[0] & 0x1Fu;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    length = 3;
    value = s[0] & 0x0Fu;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    length = 4;
    value = s[0] & 0x07u;
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) // the terminator ends this loop too
      return 0;
    value = value << 6 | (s[i] & 0x3Fu);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *code = value;
  return length;
}

} // namespace

size_t utf8_to_latin1(const char *text, char *out, size_t size) {
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  size_t length = 0;
  while (*s != 0 && length + 1 < size) {
    uint32_t code;
    int taken = *s >= 0x80 ? utf8_sequence(s, &code) : 0;
    if (taken == 0) {
      out[length++] = static_cast<char>(*s++); // ASCII, or Latin-1 already
      continue;
    }
    out[length++] = latin1_of(code);
    s += taken;
  }
  out[length] = '\0';
  return length;
}
