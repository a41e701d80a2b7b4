// Worker pool and transfer lock under real Windows threads.
#include "app/run_control.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/worker_pool.h"


namespace {

volatile LONG Started;
HANDLE Release;

unsigned long __stdcall CountAndWait(void*) {
  InterlockedIncrement(&Started);
  WaitForSingleObject(Release, 10000);
  return 0;
}

TEST(WorkerPool, SixteenSlotsForTheLifeOfTheProcess) {
  ASSERT_TRUE(InitTransfer());
  ResetWorkerPool();
  Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Started = 0;
  for (int i = 0; i < 16; i++) EXPECT_TRUE(StartWorker(CountAndWait, nullptr)) << i;
  EXPECT_FALSE(StartWorker(CountAndWait, nullptr));
  SetEvent(Release);
  EXPECT_TRUE(WaitForWorkers());
  EXPECT_EQ(Started, 16);
  // Ended threads do not give their slots back.
  EXPECT_FALSE(StartWorker(CountAndWait, nullptr));
  CloseHandle(Release);
  ResetWorkerPool();
}

unsigned long __stdcall AddMany(void*) {
  for (int i = 0; i < 20000; i++) LockedAdd(&ActiveWorkers, 1);
  return 0;
}

TEST(TransferLock, LockedAddLosesNoUpdateAcrossThreads) {
  ASSERT_TRUE(InitTransfer());
  ResetWorkerPool();
  ActiveWorkers = 0;
  for (int i = 0; i < 8; i++) ASSERT_TRUE(StartWorker(AddMany, nullptr));
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(ActiveWorkers, 8 * 20000);
  ActiveWorkers = 0;
  ResetWorkerPool();
}

TEST(WorkerPool, WaitForWorkersGivesUpOnABlockedThread) {
  ASSERT_TRUE(InitTransfer());
  ResetWorkerPool();
  Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(StartWorker(CountAndWait, nullptr));
  DWORD start = GetTickCount();
  EXPECT_FALSE(WaitForWorkers());
  EXPECT_GE(GetTickCount() - start, 1500u);  // it did wait, boundedly
  SetEvent(Release);
  EXPECT_TRUE(WaitForWorkers());
  CloseHandle(Release);
  ResetWorkerPool();
}

}  // namespace
