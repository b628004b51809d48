#include "convert.h"

#include <gtest/gtest.h>

TEST(ParseAtoi, ReadsLikeAtoi) {
  EXPECT_EQ(parse_atoi("42"), 42);
  EXPECT_EQ(parse_atoi("  \t-17xyz"), -17);
  EXPECT_EQ(parse_atoi("+8"), 8);
  EXPECT_EQ(parse_atoi("abc"), 0);
  EXPECT_EQ(parse_atoi(""), 0);
  EXPECT_EQ(parse_atoi("- 5"), 0);
  EXPECT_EQ(parse_atoi("2147483647"), 2147483647);
  EXPECT_EQ(parse_atoi("-2147483648"), -2147483647 - 1);
}

TEST(ParseAtoi, OutOfRangeClampsToInt) {
  EXPECT_EQ(parse_atoi("2147483648"), 2147483647);
  EXPECT_EQ(parse_atoi("9999999999999999"), 2147483647);
  EXPECT_EQ(parse_atoi("99999999999999999999999"), 2147483647);
  EXPECT_EQ(parse_atoi("-2147483649"), -2147483647 - 1);
  EXPECT_EQ(parse_atoi("-99999999999999999999999"), -2147483647 - 1);
}

TEST(ParseLong, TakesOnlyWholeNumbersInRange) {
  long value = -7;
  EXPECT_TRUE(parse_long("0", 0, 10, &value));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(parse_long("+10", 0, 10, &value));
  EXPECT_EQ(value, 10);
  EXPECT_TRUE(parse_long("-3", -5, 10, &value));
  EXPECT_EQ(value, -3);
  // Anything atol would have read some number out of is refused, and value kept.
  for (const char *text :
       {"", " 5", "5 ", "5O", "abc", "-", "1e3", "0x10", "11", "-6", "99999999999999999999999"}) {
    value = -7;
    EXPECT_FALSE(parse_long(text, -5, 10, &value)) << '"' << text << '"';
    EXPECT_EQ(value, -7) << text;
  }
}
