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
