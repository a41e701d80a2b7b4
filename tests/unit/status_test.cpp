// Status line and speed sampling.
#include "app/progress.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
extern int RepaintRequests;  // the native progress edge counts them
#endif

namespace {

void ResetProgress() {
  Phase = 0;
  BytesReceived = 0;
  BytesTotal = 0;
  BytesDone = 0;
  LastSampleTick = 0;
  LastSampleBytes = 0;
  Speed = 0;
}

class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProgress();
    SetProgressDisplay(ShowProgress);
  }
  void TearDown() override {
    ResetProgress();
    SetProgressDisplay(nullptr);
  }
};

TEST_F(StatusTest, PhaseTemplates) {
  EXPECT_STREQ(StatusText(), "Initializing...");
  Phase = 2;
  EXPECT_STREQ(StatusText(), "Finalizing Installation....");
  Phase = 1;
  EXPECT_STREQ(StatusText(), "Downloading 0% completed. Speed 0 KB/s");
}

TEST_F(StatusTest, PercentageIsTruncatedAndNotCapped) {
  struct Case { int64_t done; int64_t total; const char* text; } cases[] = {
      {999, 1000, "Downloading 99% completed. Speed 0 KB/s"},
      {1000, 1000, "Downloading 100% completed. Speed 0 KB/s"},
      {1500, 1000, "Downloading 150% completed. Speed 0 KB/s"},
      // Beyond 2^31 and 2^32: 64-bit sums, no negative or wrapped percentage.
      {3000000000, 2000000000, "Downloading 150% completed. Speed 0 KB/s"},
      {5000000000, 6000000000, "Downloading 83% completed. Speed 0 KB/s"},
      {6000000000, 6000000000, "Downloading 100% completed. Speed 0 KB/s"},
      // All listed files empty: shown as 0 rather than dividing by zero.
      {0, 0, "Downloading 0% completed. Speed 0 KB/s"},
      {10, 0, "Downloading 0% completed. Speed 0 KB/s"},
      {4000000000, 1, "Downloading 2147483647% completed. Speed 0 KB/s"},
  };
  Phase = 1;
  for (const auto& c : cases) {
    BytesDone = c.done;
    BytesTotal = c.total;
    EXPECT_STREQ(StatusText(), c.text) << c.done << "/" << c.total;
  }
}

TEST_F(StatusTest, SpeedNeedsMoreThanOneSecondBetweenSamples) {
  SampleSpeed(5000);  // first sample only records
  EXPECT_EQ(Speed, 0);
  BytesReceived = 1500000;
  SampleSpeed(6000);  // exactly 1000 ms later: no sample
  EXPECT_EQ(LastSampleTick, 5000u);
  SampleSpeed(6500);  // 1500 ms: 1,500,000 / 1500
  EXPECT_EQ(Speed, 1000);
  BytesReceived = 1500000 + 1001;
  SampleSpeed(7501);  // 1001 ms later samples again
  EXPECT_EQ(Speed, 1);
  Phase = 1;
  EXPECT_STREQ(StatusText(), "Downloading 0% completed. Speed 1 KB/s");
}

TEST_F(StatusTest, SpeedSurvivesTickAndCounterWrap) {
  LastSampleTick = 0xFFFFFC00u;  // 1024 ms before the tick count wraps
  LastSampleBytes = 0x7FFFFF00;
  BytesReceived = static_cast<int32_t>(0x80000100u);  // 512 bytes later, wrapped negative
  SampleSpeed(1000);  // 2024 ms elapsed
  EXPECT_EQ(Speed, 512 / 2024);
  EXPECT_EQ(LastSampleTick, 1000u);
}

#if !defined(_WIN32)
TEST_F(StatusTest, UpdateProgressKeepsCountOnNegativeAndAlwaysRepaints) {
  int before = RepaintRequests;
  UpdateProgress(1234);
  EXPECT_EQ(BytesDone, 1234);
  UpdateProgress(-1);
  EXPECT_EQ(BytesDone, 1234);
  UpdateProgress(int64_t{5} << 30);
  EXPECT_EQ(BytesDone, int64_t{5} << 30);
  EXPECT_EQ(RepaintRequests, before + 3);
  EXPECT_EQ(LastSampleTick, 0u);  // no sampling outside phase 1
}
#endif

}  // namespace
