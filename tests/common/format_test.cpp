#include "format.h"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string formatted(int value, int width) {
  char text[32];
  return std::string(text, put_decimal(text, value, width));
}

std::string printf_formatted(int value, int width) {
  char text[32];
  snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

} // namespace

TEST(PutDecimal, SameAsPrintf) {
  const int values[] = {0,     1,     -1,     9,      10,      -9,      -10,        99,
                        999,   1000,  9999,   10000,  -999,    -1000,   -9999,      12345,
                        32000, 99999, 100000, -12345, INT_MAX, INT_MIN, INT_MIN + 1};
  for (int width : {0, 4}) {
    for (int value : values)
      EXPECT_EQ(formatted(value, width), printf_formatted(value, width)) << value;
    for (int value = -20000; value <= 20000; value += 7)
      ASSERT_EQ(formatted(value, width), printf_formatted(value, width)) << value;
  }
}
