#include "convert.h"

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
