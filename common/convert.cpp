#include "convert.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

int parse_atoi(const char *text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

bool parse_long(const char *text, long min, long max, long *value) {
  if ((*text < '0' || *text > '9') && *text != '-' && *text != '+')
    return false;
  char *end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || parsed < min || parsed > max)
    return false;
  *value = parsed;
  return true;
}
