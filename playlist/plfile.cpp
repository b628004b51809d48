#include "plfile.h"

#include <climits>

namespace {

bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// Consumes white space and returns the first other character (or EOF), consumed too.
int next_nonspace(FILE *fp) {
  int c;
  do
    c = getc_unlocked(fp);
  while (is_space(c));
  return c;
}

// One "%d" conversion. The digits are converted as scanf does on this system: the value
// is clamped to the range of long, then its low 32 bits are kept.
bool read_number(FILE *fp, int *value) {
  int c = next_nonspace(fp);
  bool negative = false;
  if (c == '-' || c == '+') {
    negative = c == '-';
    c = getc_unlocked(fp);
  }
  if (!is_digit(c)) {
    if (c != EOF)
      ungetc(c, fp);
    return false;
  }
  constexpr unsigned long limit_pos = LONG_MAX;
  constexpr unsigned long limit_neg = static_cast<unsigned long>(LONG_MAX) + 1;
  unsigned long limit = negative ? limit_neg : limit_pos;
  unsigned long magnitude = 0;
  bool clamped = false;
  for (; is_digit(c); c = getc_unlocked(fp)) {
    unsigned digit = static_cast<unsigned>(c - '0');
    if (clamped || magnitude > (limit - digit) / 10)
      clamped = true;
    else
      magnitude = magnitude * 10 + digit;
  }
  if (c != EOF)
    ungetc(c, fp);
  if (clamped)
    magnitude = limit;
  unsigned long bits = negative ? 0UL - magnitude : magnitude;
  *value = static_cast<int>(static_cast<unsigned int>(bits));
  return true;
}

} // namespace

bool mpl_read_entry(FILE *fp, MplEntry *entry) {
  if (!read_number(fp, &entry->device) || !read_number(fp, &entry->list) ||
      !read_number(fp, &entry->song))
    return false;
  int c = next_nonspace(fp);
  if (c == EOF)
    return false;
  int length = 0;
  for (; c != '\n' && c != EOF; c = getc_unlocked(fp)) {
    if (length < PL_TEXT_MAX)
      entry->text[length++] = static_cast<char>(c);
  }
  entry->text[length] = '\0';
  if (c != EOF)
    ungetc(c, fp);
  return true;
}

bool opl_read_entry(FILE *fp, OplEntry *entry) {
  if (!read_number(fp, &entry->order) || !read_number(fp, &entry->device) ||
      !read_number(fp, &entry->list) || !read_number(fp, &entry->song))
    return false;
  int c = next_nonspace(fp);
  if (c != EOF)
    ungetc(c, fp);
  return true;
}
