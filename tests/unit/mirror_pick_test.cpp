// The mirror workers' walk with real threads and a fake network: which item
// a site picks, failover between sites, waiting for an item in progress
// elsewhere, and no item held by two workers. Runs natively (also under
// ThreadSanitizer) and under Wine.
#include "transfer/mirror.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/sites.h"
#include "manifest/download_list.h"
#include "runtime/run_control.h"
#include "tests/support/download_list.h"
#include "tests/support/worker_pool.h"

namespace {

// count items "f0.bin", "f1.bin", ... of size bytes.
void MakeList(int count, int32_t size = 100) {
  std::vector<testsupport::ListEntry> entries;
  for (int i = 0; i < count; i++) entries.push_back({"f" + std::to_string(i) + ".bin", size});
  testsupport::SetDownloadList(entries);
}

TSiteInfo* AddTestSite(const char* url, int threads) {
  char text[300];
  snprintf(text, sizeof text, "%s=%d", url, threads);
  EXPECT_TRUE(AddSite(text));
  return SiteTable[SiteCount - 1];
}

int SiteIndex(const TSiteInfo* site) {
  for (int s = 0; s < SiteCount; s++)
    if (SiteTable[s] == site) return s;
  return -1;
}

// Waits as the installer job does, but bounded: true when every worker
// counted itself out.
bool WaitForCountOut(int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  while (ActiveWorkers != 0) {
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeoutMs))
      return false;
    PauseMs(20);
  }
  return true;
}

class MirrorPickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitTransferLock();
    ResetWorkerPool();
    ResetSiteTable();
    ActiveWorkers = 0;
  }
  void TearDown() override {
    WaitForCountOut(20000);
    ResetWorkerPool();
    ResetSiteTable();
    FreeDownloadList();
    ActiveWorkers = 0;
  }
};

const char kDeadSite[] = "http://127.0.0.1:1/mirror";

// --- Picking --------------------------------------------------------------

struct PickCase {
  const char* what;
  std::vector<int32_t> states;
  std::vector<int> triedBySite;  // indices the site has tried already
  int32_t expected;
};

TEST_F(MirrorPickTest, PickItemTakesTheFirstUntriedPendingOrWaitsOrStops) {
  const int32_t P = kItemPending, D = kItemDone, G = kItemInProgress;
  const PickCase cases[] = {
      {"empty list", {}, {}, kPickStop},
      {"skips done", {D, P, P}, {}, 1},
      {"skips tried", {P, P}, {0}, 1},
      {"in progress elsewhere, then pending", {G, P}, {}, 1},
      {"only in progress elsewhere", {G, D}, {}, kPickWait},
      {"in progress but tried here", {G, D}, {0}, kPickStop},
      {"pending but tried here", {P}, {0}, kPickStop},
      {"all done", {D, D}, {}, kPickStop},
  };
  for (const PickCase& c : cases) {
    SCOPED_TRACE(c.what);
    ResetSiteTable();
    MakeList(static_cast<int>(c.states.size()));
    for (size_t i = 0; i < c.states.size(); i++) DownloadList[i].State = c.states[i];
    TSiteInfo* site = AddTestSite(kDeadSite, 1);
    ASSERT_TRUE(SizeTriedFlags(site, DownloadCount));
    for (int i : c.triedBySite) MarkTried(site, i);

    int32_t picked = PickItem(site);
    EXPECT_EQ(picked, c.expected);
    if (picked >= 0) {
      EXPECT_EQ(DownloadList[picked].State, kItemInProgress);
      EXPECT_TRUE(IsTried(site, picked));
    }
    for (size_t i = 0; i < c.states.size(); i++)
      if (static_cast<int32_t>(i) != picked) {
        EXPECT_EQ(DownloadList[i].State, c.states[i]) << i;
      }
  }
}

// --- A fake network: which site delivers which item -----------------------

enum { kMaxFakeItems = 2000, kMaxFakeSites = 16 };

// Which (site, item) attempts fail; set per test.
bool (*FakeFails)(int site, int item);
std::atomic<int> Holders[kMaxFakeItems];
std::atomic<int> Attempts[kMaxFakeSites][kMaxFakeItems];
std::atomic<int> Overlaps;

void ClearFake() {
  for (auto& holder : Holders) holder = 0;
  for (auto& site : Attempts)
    for (auto& attempts : site) attempts = 0;
  Overlaps = 0;
}

// Stands in for DownloadFromSite: counts who holds the item, "writes" all or
// half of it the way TOStream raises Received, and ends the attempt.
void FakeAttempt(TSiteInfo* site, int32_t index) {
  int s = SiteIndex(site);
  if (++Holders[index] != 1) ++Overlaps;
  ++Attempts[s][index];
  DownloadItem& item = DownloadList[index];
  bool fails = FakeFails(s, index);
  item.Received = fails ? item.Size / 2 : item.Size;
  if (index % 7 == 0) PauseMs(1);  // let other workers run into the item
  --Holders[index];
  EndAttempt(item, !fails);
}

unsigned long PELLINOR_THREAD_CALL FakeWorker(void* parameter) {
  RunSite(static_cast<TSiteInfo*>(parameter), FakeAttempt);
  LockedAdd(&ActiveWorkers, -1);
  return 0;
}

bool StartFakeWorker(TSiteInfo* site) {
  LockedAdd(&ActiveWorkers, +1);
  if (StartWorker(FakeWorker, site)) return true;
  LockedAdd(&ActiveWorkers, -1);
  return false;
}

struct FailoverCase {
  const char* what;
  bool (*fails)(int site, int item);
  std::vector<int32_t> finalStates;
  std::vector<std::vector<int>> attemptsPerSite;  // [site][item]
};

bool AFailsOne(int s, int i) { return s == 0 && i == 1; }
bool BothFailTwo(int, int i) { return i == 2; }
bool NoneFails(int, int) { return false; }

TEST_F(MirrorPickTest, AnItemOneSiteFailsGoesToTheNextAndStaysPendingWhenAllFail) {
  const int32_t P = kItemPending, D = kItemDone;
  const FailoverCase cases[] = {
      {"A fails item 1, B takes it", AFailsOne, {D, D, D}, {{1, 1, 1}, {0, 1, 0}}},
      {"both fail item 2", BothFailTwo, {D, D, P}, {{1, 1, 1}, {0, 0, 1}}},
      {"nothing fails, B has nothing to do", NoneFails, {D, D, D}, {{1, 1, 1}, {0, 0, 0}}},
  };
  for (const FailoverCase& c : cases) {
    SCOPED_TRACE(c.what);
    ResetSiteTable();
    ClearFake();
    FakeFails = c.fails;
    MakeList(3);
    TSiteInfo* a = AddTestSite("http://a.test", 1);
    TSiteInfo* b = AddTestSite("http://b.test", 1);
    ASSERT_TRUE(SizeTriedFlags(a, 3));
    ASSERT_TRUE(SizeTriedFlags(b, 3));
    RunSite(a, FakeAttempt);  // ends: nothing left that A has not tried
    RunSite(b, FakeAttempt);
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(DownloadList[i].State, c.finalStates[i]) << i;
      // A failed attempt leaves nothing counted for the next source.
      if (DownloadList[i].State == kItemPending) {
        EXPECT_EQ(DownloadList[i].Received, 0) << i;
      }
      for (int s = 0; s < 2; s++) EXPECT_EQ(Attempts[s][i], c.attemptsPerSite[s][i]) << s << "," << i;
    }
  }
}

TEST_F(MirrorPickTest, WorkerWaitsForAnItemInProgressElsewhereThenTakesIt) {
  ClearFake();
  FakeFails = NoneFails;
  MakeList(1);
  TSiteInfo* a = AddTestSite("http://a.test", 1);
  TSiteInfo* b = AddTestSite("http://b.test", 1);
  ASSERT_TRUE(SizeTriedFlags(a, 1));
  ASSERT_TRUE(SizeTriedFlags(b, 1));
  ASSERT_EQ(PickItem(a), 0);  // A holds the item
  ASSERT_TRUE(StartFakeWorker(b));
  PauseMs(3 * kPickWaitMs);
  EXPECT_EQ(ActiveWorkers, 1) << "B's worker must wait, not end";
  EXPECT_EQ(Attempts[1][0], 0);
  EndAttempt(DownloadList[0], false);  // A fails it
  ASSERT_TRUE(WaitForCountOut(5000));
  EXPECT_EQ(Attempts[1][0], 1);
  EXPECT_EQ(DownloadList[0].State, kItemDone);
}

// Items some sites fail, a few that every site fails; fifteen workers on
// three sites race for them.
bool MixedFailures(int s, int i) { return i % 50 == 0 || (i * 7 + s * 13) % 5 == 0; }

TEST_F(MirrorPickTest, NoItemIsEverHeldByTwoWorkersAndEachSiteTriesEachItemOnce) {
  const int kItems = kMaxFakeItems, kSites = 3, kThreads = 5;
  ClearFake();
  FakeFails = MixedFailures;
  MakeList(kItems);
  TSiteInfo* sites[kSites];
  for (int s = 0; s < kSites; s++) {
    char url[40];
    snprintf(url, sizeof url, "http://s%d.test", s);
    sites[s] = AddTestSite(url, kThreads);
    ASSERT_TRUE(SizeTriedFlags(sites[s], kItems));
  }
  for (int t = 0; t < kThreads; t++)
    for (int s = 0; s < kSites; s++) ASSERT_TRUE(StartFakeWorker(sites[s]));
  ASSERT_TRUE(WaitForCountOut(60000));

  EXPECT_EQ(Overlaps, 0);
  int done = 0;
  for (int i = 0; i < kItems; i++) {
    bool someSiteDelivers = false;
    for (int s = 0; s < kSites; s++) {
      EXPECT_LE(Attempts[s][i], 1) << s << "," << i;
      if (!MixedFailures(s, i)) someSiteDelivers = true;
    }
    if (someSiteDelivers) {
      EXPECT_EQ(DownloadList[i].State, kItemDone) << i;
      done++;
    } else {
      EXPECT_EQ(DownloadList[i].State, kItemPending) << i;
      for (int s = 0; s < kSites; s++) EXPECT_EQ(Attempts[s][i], 1) << s << "," << i;
    }
  }
  EXPECT_GT(done, 0);
  EXPECT_LT(done, kItems);
}

// --- Starting workers ------------------------------------------------

unsigned long PELLINOR_THREAD_CALL HoldSlot(void*) { return 0; }

// A worker whose every attempt fails, as one on a site that is down.
void FailingAttempt(TSiteInfo*, int32_t index) { EndAttempt(DownloadList[index], false); }
unsigned long PELLINOR_THREAD_CALL DeadSiteWorker(void* parameter) {
  RunSite(static_cast<TSiteInfo*>(parameter), FailingAttempt);
  LockedAdd(&ActiveWorkers, -1);
  return 0;
}

TEST_F(MirrorPickTest, SixteenOneThreadSitesGetFifteenWorkersCountedBeforeTheyRun) {
  MakeList(20);
  ASSERT_TRUE(StartWorker(HoldSlot, nullptr));  // the installer job's slot
  for (int s = 0; s < kSiteTableCapacity; s++) {
    char url[40];
    snprintf(url, sizeof url, "%s%d", kDeadSite, s);
    AddTestSite(url, 1);
  }
  // With the lock held no worker can pick or count itself out, so the count
  // seen now is what StartMirrorWorkers itself put in.
  LockTransfer();
  StartMirrorWorkers(DeadSiteWorker);
  int32_t counted = ActiveWorkers;
  UnlockTransfer();
  EXPECT_EQ(counted, 15);
  ASSERT_TRUE(WaitForCountOut(60000));
  // Once the count is 0 no worker may take anything more: every item was
  // tried by every site that had a worker, and left to the session.
  for (int i = 0; i < DownloadCount; i++) {
    EXPECT_EQ(DownloadList[i].State, kItemPending) << i;
    for (int s = 0; s < 15; s++) EXPECT_TRUE(IsTried(SiteTable[s], i)) << s << "," << i;
    EXPECT_FALSE(IsTried(SiteTable[15], i)) << i;
  }
}

TEST_F(MirrorPickTest, ZeroThreadSiteTakesNothingAndLongListsAreReachedWhole) {
  const int kItems = 600;  // beyond a fixed table of 512 flags
  MakeList(kItems);
  TSiteInfo* idle = AddTestSite("http://127.0.0.1:1/idle", 0);
  TSiteInfo* busy = AddTestSite(kDeadSite, 3);
  StartMirrorWorkers(DeadSiteWorker);
  ASSERT_TRUE(WaitForCountOut(60000));
  EXPECT_EQ(idle->TriedCount, kItems);
  EXPECT_EQ(busy->TriedCount, kItems);
  for (int i = 0; i < kItems; i++) {
    EXPECT_FALSE(IsTried(idle, i)) << i;
    EXPECT_TRUE(IsTried(busy, i)) << i;
    EXPECT_EQ(DownloadList[i].State, kItemPending) << i;
    EXPECT_EQ(DownloadList[i].Received, 0) << i;
  }
}

}  // namespace
