// Mirror workers under real Windows threads: how items are picked and handed
// between sites, how workers are started and counted, and how one object is
// inflated into its file.
#include "transfer/mirror.h"

#include <windows.h>
#include <zlib.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/win/test_files.h"

#include "app/run_control.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "manifest/sites.h"
#include "transfer/ostream.h"

void ResetWorkerPool();

namespace {

// Nothing listens on port 1, so every real attempt fails at once.
const char kDeadSite[] = "http://127.0.0.1:1/mirror";

void EnsureTransfer() {
  static bool ready = InitTransfer();
  ASSERT_TRUE(ready);
}

void MakeList(int count, int32_t size = 100) {
  FreeDownloadList();
  DownloadList = static_cast<DownloadItem*>(calloc(count > 0 ? count : 1, sizeof(DownloadItem)));
  DownloadCount = count;
  for (int i = 0; i < count; i++) {
    snprintf(DownloadList[i].Name, kItemNameCapacity, "f%d.bin", i);
    DownloadList[i].Size = size;
    DownloadList[i].Stamp = 1081037455;
  }
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
bool WaitForCountOut(DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (ActiveWorkers != 0) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

class MirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureTransfer();
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

// --- Picking --------------------------------------------------------------

struct PickCase {
  const char* what;
  std::vector<int32_t> states;
  std::vector<int> triedBySite;  // indices the site has tried already
  int32_t expected;
};

TEST_F(MirrorTest, PickItemTakesTheFirstUntriedPendingOrWaitsOrStops) {
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
      if (static_cast<int32_t>(i) != picked) EXPECT_EQ(DownloadList[i].State, c.states[i]) << i;
  }
}

// --- A fake network: which site delivers which item -----------------------

enum { kMaxFakeItems = 2000, kMaxFakeSites = 16 };

// Which (site, item) attempts fail; set per test.
bool (*FakeFails)(int site, int item);
volatile LONG Holders[kMaxFakeItems];
volatile LONG Attempts[kMaxFakeSites][kMaxFakeItems];
volatile LONG Overlaps;

void ClearFake() {
  memset(const_cast<LONG*>(Holders), 0, sizeof Holders);
  memset(const_cast<LONG*>(&Attempts[0][0]), 0, sizeof Attempts);
  Overlaps = 0;
}

// Stands in for DownloadFromSite: counts who holds the item, "writes" all or
// half of it the way TOStream raises Received, and ends the attempt.
void FakeAttempt(TSiteInfo* site, int32_t index) {
  int s = SiteIndex(site);
  if (InterlockedIncrement(&Holders[index]) != 1) InterlockedIncrement(&Overlaps);
  InterlockedIncrement(&Attempts[s][index]);
  DownloadItem& item = DownloadList[index];
  bool fails = FakeFails(s, index);
  item.Received = fails ? item.Size / 2 : item.Size;
  if (index % 7 == 0) Sleep(1);  // let other workers run into the item
  InterlockedDecrement(&Holders[index]);
  EndAttempt(item, !fails);
}

unsigned long __stdcall FakeWorker(void* parameter) {
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

TEST_F(MirrorTest, AnItemOneSiteFailsGoesToTheNextAndStaysPendingWhenAllFail) {
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
      if (DownloadList[i].State == kItemPending) EXPECT_EQ(DownloadList[i].Received, 0) << i;
      for (int s = 0; s < 2; s++) EXPECT_EQ(Attempts[s][i], c.attemptsPerSite[s][i]) << s << "," << i;
    }
  }
}

TEST_F(MirrorTest, WorkerWaitsForAnItemInProgressElsewhereThenTakesIt) {
  ClearFake();
  FakeFails = NoneFails;
  MakeList(1);
  TSiteInfo* a = AddTestSite("http://a.test", 1);
  TSiteInfo* b = AddTestSite("http://b.test", 1);
  ASSERT_TRUE(SizeTriedFlags(a, 1));
  ASSERT_TRUE(SizeTriedFlags(b, 1));
  ASSERT_EQ(PickItem(a), 0);  // A holds the item
  ASSERT_TRUE(StartFakeWorker(b));
  Sleep(3 * kPickWaitMs);
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

TEST_F(MirrorTest, NoItemIsEverHeldByTwoWorkersAndEachSiteTriesEachItemOnce) {
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

// --- Starting real workers ------------------------------------------------

unsigned long __stdcall HoldSlot(void*) { return 0; }

TEST_F(MirrorTest, SixteenOneThreadSitesGetFifteenWorkersCountedBeforeTheyRun) {
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
  StartMirrorWorkers();
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

TEST_F(MirrorTest, ZeroThreadSiteTakesNothingAndLongListsAreReachedWhole) {
  const int kItems = 600;  // beyond a fixed table of 512 flags
  MakeList(kItems);
  TSiteInfo* idle = AddTestSite("http://127.0.0.1:1/idle", 0);
  TSiteInfo* busy = AddTestSite(kDeadSite, 3);
  StartMirrorWorkers();
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

// --- One object into one file ---------------------------------------------

typedef std::vector<unsigned char> Bytes;

Bytes Deflate(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(length);
  return out;
}

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<unsigned char>(seed >> 16);
  }
  return b;
}

class MemorySource : public TBaseStream {
 public:
  explicit MemorySource(const Bytes& data) : data_(data), position_(0) {}
  int32_t Read(void* buffer, int32_t count) override {
    int32_t n = static_cast<int32_t>(data_.size()) - position_;
    if (n > count) n = count;
    memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
  }
  int32_t Seek(int32_t distance, uint8_t origin) override {
    if (origin != kSeekFromCurrent) return 0;
    position_ += distance;
    return position_;
  }

 private:
  Bytes data_;
  int32_t position_;
};

class ReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureTransfer();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(dir_, sizeof dir_, "%spellinor-mirror-%lu\\", temp, GetCurrentProcessId());
    CreateDirectoryA(dir_, nullptr);
    snprintf(InstallSettings.InstallDir, sizeof InstallSettings.InstallDir, "%s", dir_);
  }
  void TearDown() override { testfiles::RemoveTree(dir_); }
  // The sink writes the staged file; the installed one is the commit's.
  std::string Path(const char* name) const {
    return std::string(dir_) + "Pellinor.staging\\new\\" + name;
  }
  std::string Installed(const char* name) const { return std::string(dir_) + name; }
  bool Exists(const char* name) const {
    return GetFileAttributesA(Path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  Bytes Contents(const char* name) const {
    Bytes out;
    FILE* f = fopen(Path(name).c_str(), "rb");
    if (f == nullptr) return out;
    unsigned char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
    fclose(f);
    return out;
  }
  char dir_[MAX_PATH];
};

struct ReceiveCase {
  const char* what;
  size_t fileSize;     // the item's Size
  size_t objectBytes;  // bytes the object inflates to
  enum { Whole, CutTrailer, BadTrailer, NotZlib, Empty } form;
  bool done;
  bool fileExpected;
};

TEST_F(ReceiveTest, OnlyAWholeCheckedObjectOfExactlySizeIsDone) {
  const ReceiveCase cases[] = {
      {"whole object", 70000, 70000, ReceiveCase::Whole, true, true},
      {"one byte more", 70000, 70001, ReceiveCase::Whole, false, true},
      {"one byte less", 70000, 69999, ReceiveCase::Whole, false, true},
      {"one byte more, small", 100, 101, ReceiveCase::Whole, false, true},
      {"one byte less, small", 100, 99, ReceiveCase::Whole, false, true},
      {"check value missing", 65536, 65536, ReceiveCase::CutTrailer, false, true},
      {"check value wrong", 65536, 65536, ReceiveCase::BadTrailer, false, true},
      {"error page", 500, 500, ReceiveCase::NotZlib, false, false},
      {"empty file, valid stream", 0, 0, ReceiveCase::Whole, true, true},
      {"empty file, empty body", 0, 0, ReceiveCase::Empty, false, false},
  };
  int n = 0;
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.what);
    char name[32];
    snprintf(name, sizeof name, "sub\\case%d.bin", n++);
    DownloadItem item = {};
    snprintf(item.Name, sizeof item.Name, "%s", name);
    item.Size = static_cast<int32_t>(c.fileSize);
    item.Stamp = 1081037455;  // 15 March 2012 10:20:30
    item.State = kItemInProgress;

    Bytes content = Pattern(c.objectBytes, n);
    Bytes object = Deflate(content);
    if (c.form == ReceiveCase::CutTrailer) object.resize(object.size() - 4);
    if (c.form == ReceiveCase::BadTrailer) object.back() ^= 0x55;
    if (c.form == ReceiveCase::NotZlib) object.assign(c.objectBytes, '<');
    if (c.form == ReceiveCase::Empty) object.clear();
    MemorySource source(object);
    EndAttempt(item, ReceiveItem(source, item));

    EXPECT_EQ(item.State, c.done ? kItemDone : kItemPending);
    EXPECT_EQ(item.Received, c.done ? item.Size : 0);
    EXPECT_EQ(Exists(name), c.fileExpected);
    EXPECT_EQ(GetFileAttributesA(Installed(name).c_str()), INVALID_FILE_ATTRIBUTES);
    if (c.done) {
      EXPECT_TRUE(content == Contents(name));
      WIN32_FIND_DATAA found;
      HANDLE search = FindFirstFileA(Path(name).c_str(), &found);
      ASSERT_NE(search, INVALID_HANDLE_VALUE);
      FindClose(search);
      WORD date = 0, time = 0;
      FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time);
      EXPECT_EQ((static_cast<uint32_t>(date) << 16) | time, item.Stamp);
    } else {
      // Nothing beyond Size ever reaches the disk.
      EXPECT_LE(Contents(name).size(), c.fileSize);
    }
  }
}

// A failed object that still wrote Size bytes must not leave a file that
// the next run takes for up to date (same size, same stamp).
TEST_F(ReceiveTest, AFailedObjectOfFullSizeLeavesNoUpToDateFile) {
  struct Case {
    const char* what;
    size_t objectBytes;
    bool cutTrailer;
    bool badTrailer;
  };
  const Case cases[] = {
      {"check value missing", 65536, true, false},
      {"check value wrong", 65536, false, true},
      {"one byte more at a step boundary", 65537, false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char name[32];
    snprintf(name, sizeof name, "full%d.bin", n++);
    DownloadItem item = {};
    snprintf(item.Name, sizeof item.Name, "%s", name);
    item.Size = 65536;
    item.Stamp = 1081037455;
    item.State = kItemInProgress;
    Bytes object = Deflate(Pattern(c.objectBytes, 40 + n));
    if (c.cutTrailer) object.resize(object.size() - 4);
    if (c.badTrailer) object.back() ^= 0x55;
    MemorySource source(object);
    EndAttempt(item, ReceiveItem(source, item));
    EXPECT_EQ(item.State, kItemPending);
    ASSERT_TRUE(Exists(name));
    EXPECT_FALSE(IsUpToDate(Path(name).c_str(), 65536, 1081037455));
  }
}

TEST_F(ReceiveTest, FileHeldOpenByAnotherHandleLeavesTheItemPendingAndUncounted) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "locked.bin");
  item.Size = 20000;
  item.State = kItemInProgress;
  CreateDirectoryA((std::string(dir_) + "Pellinor.staging").c_str(), nullptr);
  CreateDirectoryA((std::string(dir_) + "Pellinor.staging\\new").c_str(), nullptr);
  HANDLE other = CreateFileA(Path("locked.bin").c_str(), GENERIC_WRITE, 0 /* no sharing */, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(other, "keep", 4, &written, nullptr);

  Bytes content = Pattern(20000, 7);
  MemorySource source(Deflate(content));
  bool complete = ReceiveItem(source, item);
  EXPECT_FALSE(complete);
  EXPECT_EQ(item.Received, 0) << "only bytes that reached the file count";
  EndAttempt(item, complete);
  EXPECT_EQ(item.State, kItemPending);
  CloseHandle(other);
  Bytes kept = Contents("locked.bin");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
}

TEST_F(ReceiveTest, NameOutsideTheInstallFolderIsRefusedAndNothingCreated) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "..\\pellinor-escape-%lu.bin", GetCurrentProcessId());
  item.Size = 10;
  Bytes content = Pattern(10, 3);
  {
    TOStream sink(item);
    EXPECT_EQ(sink.Write(content.data(), 10), -1);
    EXPECT_EQ(sink.Write(content.data(), 10), -1);
    EXPECT_FALSE(sink.Created());
  }
  EXPECT_EQ(item.Received, 0);
  std::string outside = std::string(dir_) + item.Name;
  EXPECT_EQ(GetFileAttributesA(outside.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ReceiveTest, FirstWriteOfNothingCreatesTheFileAndWritesReturnTheirCount) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "deep\\er\\file.bin");
  item.Size = 6;
  {
    TOStream sink(item);
    EXPECT_EQ(sink.Write(nullptr, 0), 0);
    EXPECT_TRUE(sink.Created());
    char bytes[] = "abcdef";
    EXPECT_EQ(sink.Write(bytes, 4), 4);
    EXPECT_EQ(sink.Write(bytes + 4, 2), 2);
    EXPECT_EQ(sink.Write(bytes, 1), -1);  // past Size
  }
  EXPECT_EQ(item.Received, 6);
  Bytes got = Contents("deep\\er\\file.bin");
  EXPECT_EQ(std::string(got.begin(), got.end()), "abcdef");
}

}  // namespace
