// The session's resume record as the mirror workers share it: several
// workers may drop it at once, and exactly one of them (the one whose file it
// names) deletes it. Runs natively, under ThreadSanitizer and under Wine.
#include "transfer/staging.h"

#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

ResumeRecord Record(const char* name) {
  ResumeRecord record = {};
  strcpy(record.Name, name);
  record.Size = 600000;
  record.Stamp = 1081037455;
  record.Length = 262144;
  return record;
}

TEST(ResumeRecordTest, KeptCopiesOutAndOnlyItsOwnFileDropsIt) {
  KeepResumeRecord(nullptr);
  ResumeRecord out = {};
  EXPECT_FALSE(KeptResumeRecord(&out));
  ResumeRecord record = Record("data\\big.dat");
  KeepResumeRecord(&record);
  EXPECT_FALSE(DropKeptResumeRecordFor("data\\big.da"));
  EXPECT_FALSE(DropKeptResumeRecordFor(nullptr));
  ASSERT_TRUE(KeptResumeRecord(&out));
  EXPECT_STREQ(out.Name, "data\\big.dat");
  EXPECT_EQ(out.Length, 262144);
  EXPECT_TRUE(DropKeptResumeRecordFor("DATA\\Big.dat"));
  EXPECT_FALSE(DropKeptResumeRecordFor("data\\big.dat"));
  EXPECT_FALSE(KeptResumeRecord(&out));
}

TEST(ResumeRecordTest, WorkersDroppingAtOnceDeleteItExactlyOnce) {
  const int kWorkers = 6;
  for (int round = 0; round < 50; round++) {
    ResumeRecord record = Record("big.dat");
    KeepResumeRecord(&record);
    std::atomic<int> waiting{kWorkers};
    std::atomic<int> dropped{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; w++) {
      workers.emplace_back([&, w] {
        waiting--;
        while (waiting.load() > 0) std::this_thread::yield();
        // Half of them hold the record's file (as a retried item would be
        // taken by one site after another), half hold other files.
        ResumeRecord seen;
        if (KeptResumeRecord(&seen)) {
          EXPECT_STREQ(seen.Name, "big.dat");
        }
        if (DropKeptResumeRecordFor(w % 2 == 0 ? "big.dat" : "other.dat")) dropped++;
      });
    }
    for (std::thread& worker : workers) worker.join();
    ASSERT_EQ(dropped.load(), 1) << "round " << round;
  }
}

}  // namespace
