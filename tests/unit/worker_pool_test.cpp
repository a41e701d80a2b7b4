// Worker pool and transfer lock under real threads (Windows threads under
// Wine, POSIX threads natively, there also under ThreadSanitizer).
#include "runtime/run_control.h"

#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "tests/support/worker_pool.h"

namespace {

std::atomic<int> Started;
std::atomic<bool> Release;

unsigned long PELLINOR_THREAD_CALL CountAndWait(void*) {
  ++Started;
  for (int waited = 0; !Release && waited < 10000; waited += 5) PauseMs(5);
  return 0;
}

class WorkerPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitTransferLock();
    ResetWorkerPool();
    Started = 0;
    Release = false;
  }
  void TearDown() override {
    Release = true;
    ResetWorkerPool();
  }
};

TEST_F(WorkerPoolTest, SixteenSlotsForTheLifeOfTheProcess) {
  for (int i = 0; i < kWorkerSlots; i++) EXPECT_TRUE(StartWorker(CountAndWait, nullptr)) << i;
  EXPECT_FALSE(StartWorker(CountAndWait, nullptr));
  Release = true;
  EXPECT_TRUE(WaitForWorkers());
  EXPECT_EQ(Started, kWorkerSlots);
  // Ended threads do not give their slots back.
  EXPECT_FALSE(StartWorker(CountAndWait, nullptr));
}

unsigned long PELLINOR_THREAD_CALL AddMany(void*) {
  for (int i = 0; i < 20000; i++) LockedAdd(&ActiveWorkers, 1);
  return 0;
}

TEST_F(WorkerPoolTest, LockedAddLosesNoUpdateAcrossThreads) {
  ActiveWorkers = 0;
  for (int i = 0; i < 8; i++) ASSERT_TRUE(StartWorker(AddMany, nullptr));
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(ActiveWorkers, 8 * 20000);
  ActiveWorkers = 0;
}

TEST_F(WorkerPoolTest, WaitForWorkersGivesUpOnABlockedThread) {
  ASSERT_TRUE(StartWorker(CountAndWait, nullptr));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForWorkers());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  Release = true;
  EXPECT_TRUE(WaitForWorkers());
}

// A plain counter guarded by the scoped lock: no update is lost, and the
// lock is released on every way out of the scope.
int Guarded;
unsigned long PELLINOR_THREAD_CALL AddGuarded(void*) {
  for (int i = 0; i < 20000; i++) {
    TransferLockGuard lock;
    if (Guarded < 0) continue;  // leaves the scope early: still unlocked
    Guarded++;
  }
  return 0;
}

TEST_F(WorkerPoolTest, TheScopedLockGuardsAndAlwaysReleases) {
  Guarded = 0;
  for (int i = 0; i < 4; i++) ASSERT_TRUE(StartWorker(AddGuarded, nullptr));
  ASSERT_TRUE(WaitForWorkers());
  TransferLockGuard lock;
  EXPECT_EQ(Guarded, 4 * 20000);
}

std::atomic<int> PassedCheck;
unsigned long PELLINOR_THREAD_CALL CheckUntilAborted(void*) {
  ++Started;
  for (;;) {
    CheckAbort();
    PauseMs(5);
    if (Release) ++PassedCheck;  // reached only when CheckAbort returned after the stop
  }
}

TEST_F(WorkerPoolTest, AThreadEndsAtItsNextAbortCheck) {
  PassedCheck = 0;
  ASSERT_TRUE(StartWorker(CheckUntilAborted, nullptr));
  while (Started == 0) PauseMs(1);
  StopWorkers();
  Release = true;
  EXPECT_TRUE(WaitForWorkers());
  EXPECT_LE(PassedCheck, 1);  // at most the pass already past its check
}

}  // namespace
