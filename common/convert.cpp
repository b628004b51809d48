#include "convert.h"

#include <cstdlib>

int parse_atoi(const char *text) {
  return static_cast<int>(std::strtol(text, nullptr, 10));
}
