// The test-only stall setting may only shorten the documented bound.
#include "transfer/net_limits.h"

#include <gtest/gtest.h>

TEST(TestStallSetting, OnlyWholeMillisecondsUpToTheDefaultBoundCount) {
  struct Case {
    const char* text;
    int32_t bound;
  } cases[] = {
      {"1", 1},           {"2500", 2500},  {"60000", 60000}, {"060000", 60000},
      {nullptr, 0},       {"", 0},         {"0", 0},         {"60001", 0},
      {"4294967297", 0},  {"99999999999999999999", 0},       {"-5", 0},
      {"+5", 0},          {" 5", 0},       {"5 ", 0},        {"12a", 0},
      {"2.5", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "(null)" : c.text);
    EXPECT_EQ(ParseTestStallMs(c.text), c.bound);
  }
}
