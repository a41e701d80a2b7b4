// The bounded text builder: numbers past 32 bits, and cutting that never
// writes past the array.
#include "tinylib/text_builder.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

TEST(TextBuilder, NumbersOfEveryWidth) {
  struct Case { int64_t value; const char* text; } cases[] = {
      {0, "0"}, {7, "7"}, {10, "10"}, {1603, "1603"}, {3000000000LL, "3000000000"},
      {1234567893123456796LL, "1234567893123456796"}, {INT64_MAX, "9223372036854775807"},
      {-1, "-1"}, {INT64_MIN, "-9223372036854775808"},
  };
  for (const auto& c : cases) {
    char buf[32];
    TextBuilder out(buf, sizeof buf);
    out.Text("n=").Number(c.value).Char(';');
    EXPECT_EQ(std::string(buf), std::string("n=") + c.text + ";");
    EXPECT_FALSE(out.Cut());
  }
}

TEST(TextBuilder, WhatDoesNotFitIsCutAndRemembered) {
  char buf[8 + 4];
  memset(buf, 'x', sizeof buf);
  TextBuilder out(buf, 8);
  out.Text("abc").Text(nullptr).Text("defg");
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_FALSE(out.Cut()) << "exactly full is not cut";
  out.Char('h').Text("");
  EXPECT_TRUE(out.Cut());
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(buf[8], 'x') << "nothing written past the capacity";
  EXPECT_FALSE(out.Finish());
  EXPECT_STREQ(buf, "") << "a cut text is not left half-built";

  TextBuilder whole(buf, 8);
  whole.Number(1234567);
  EXPECT_TRUE(whole.Finish());
  EXPECT_STREQ(buf, "1234567");

  TextBuilder none(buf, 0);
  none.Text("a");
  EXPECT_TRUE(none.Cut());
  EXPECT_EQ(buf[0], '1') << "a builder of no room writes nothing";
}
