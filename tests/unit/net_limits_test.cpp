// The test-only bound setting may only shorten; the rate window gives up a
// source that delivers below the minimum rate over a whole window of waiting
// on it, and nothing that keeps to it.
#include "transfer/net_limits.h"

#include <gtest/gtest.h>

TEST(TestBoundSetting, OnlyWholeMillisecondsUpToTheBoundCount) {
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
    EXPECT_EQ(ParseTestBoundMs(c.text, kStallTimeoutMs), c.bound);
  }
  EXPECT_EQ(ParseTestBoundMs("30000", kRateWindowMs), 30000);
  EXPECT_EQ(ParseTestBoundMs("30001", kRateWindowMs), 0);
}

TEST(RateWindowTest, ATrickleFailsOnceAWholeWindowWasWaitedAndStaysFailed) {
  // One byte every 2 s: fine until the 15th wait fills the 30 s window.
  RateWindow rate;
  for (int i = 1; i < kRateWindowMs / 2000; i++) ASSERT_TRUE(rate.Feed(2000, 1)) << i;
  EXPECT_FALSE(rate.Feed(2000, 1));
  EXPECT_TRUE(rate.Failed());
  EXPECT_FALSE(rate.Feed(10, 1 << 20));  // a late burst does not bring it back
  rate.Restart(kRateWindowMs);           // a new connection starts anew
  EXPECT_TRUE(rate.Feed(2000, 1));
}

TEST(RateWindowTest, TheMinimumRateAveragedOverEachWindowIsEnough) {
  RateWindow steady;
  for (int i = 0; i < 300; i++) ASSERT_TRUE(steady.Feed(1000, kMinRateBytesPerSecond)) << i;

  // A burst, then nothing: the first window's average holds; the next window
  // starts empty and fails.
  RateWindow burst;
  const int32_t windowBytes = kMinRateBytesPerSecond * (kRateWindowMs / 1000);
  EXPECT_TRUE(burst.Feed(100, windowBytes));
  EXPECT_TRUE(burst.Feed(kRateWindowMs - 100, 0));
  EXPECT_TRUE(burst.Feed(kRateWindowMs - 1, 0));
  EXPECT_FALSE(burst.Feed(1, 0));

  // One byte short of the minimum over a window fails.
  RateWindow shortOne;
  EXPECT_FALSE(shortOne.Feed(kRateWindowMs, windowBytes - 1));
}

TEST(RateWindowTest, AWaitLongerThanTheWindowIsJudgedOverItsWholeLength) {
  // 59 s for 20,000 bytes: above the minimum for 30 s, below it for 59.
  RateWindow rate;
  EXPECT_FALSE(rate.Feed(59000, 20000));
  RateWindow enough;
  EXPECT_TRUE(enough.Feed(59000, 59 * kMinRateBytesPerSecond));
}

TEST(RateWindowTest, AShortenedWindowAndNoWindow) {
  RateWindow shortened(4000);
  EXPECT_TRUE(shortened.Feed(2000, 1));
  EXPECT_FALSE(shortened.Feed(2000, 1));
  RateWindow none(0);
  for (int i = 0; i < 100; i++) ASSERT_TRUE(none.Feed(60000, 0));
}
