// The commit of staged files over installed ones, and what a run does with
// the traces of an interrupted one: every installed file is wholly old or
// wholly new at every step, and the next run finishes the work.
#include "install/commit.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "runtime/outcome.h"
#include "app/run_control.h"
#include "config/settings.h"
#include "tinylib/simple_file.h"
#include "manifest/download_list.h"
#include "tests/support/download_list.h"
#include "tests/support/test_files.h"
#include "tinylib/simple_file.h"
#include "transfer/session.h"
#include "transfer/staging.h"

namespace {

const uint32_t kStamp = testsupport::kListStamp;

class CommitTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetInstallSettings();
    ResetRunOutcome();
    folder_ = testfiles::MakeScratchFolder("commit");
    ASSERT_FALSE(folder_.empty());
    snprintf(InstallSettings.InstallDir, kPathCapacity, "%s\\", folder_.c_str());
  }
  void TearDown() override {
    FreeDownloadList();
    testfiles::RemoveTree(folder_);
  }

  std::string Installed(const std::string& name) const { return folder_ + "\\" + name; }
  std::string Staged(const std::string& name, const char* area = "new") const {
    return folder_ + "\\Pellinor.staging\\" + area + "\\" + name;
  }
  static void MakeFoldersOf(const std::string& path) {
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
      CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  // Writes a file; stamp 0 leaves its time as the system set it.
  static void Put(const std::string& path, const std::string& data, uint32_t stamp = 0) {
    MakeFoldersOf(path);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    if (stamp != 0) SetFileStamp(file, stamp);
    CloseHandle(file);
  }
  static std::string Contents(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return "(missing)";
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out.append(block, n);
    fclose(f);
    return out;
  }
  static bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  // The list as BuildDownloadList would leave it: each name with the size
  // of its bytes.
  void List(const std::vector<std::pair<std::string, std::string>>& entries, int32_t state) {
    std::vector<testsupport::ListEntry> list;
    for (const auto& entry : entries)
      list.push_back({entry.first, static_cast<int32_t>(entry.second.size()), kStamp, state});
    testsupport::SetDownloadList(list);
  }

  std::string folder_;
};

TEST_F(CommitTest, EveryStagedFileReplacesItsTargetAndTheStagingPlaceGoes) {
  Put(Installed("a.dll"), "old a");
  Put(Installed("bin\\b.dll"), "old b");
  Put(Staged("a.dll"), "new a!", kStamp);
  Put(Staged("bin\\b.dll"), "new b!!", kStamp);
  Put(Staged("deep\\er\\c.dll"), "new c", kStamp);  // its folders do not exist yet
  Put(Staged("gone.dll"), "no longer listed", kStamp);
  List({{"a.dll", "new a!"}, {"bin\\b.dll", "new b!!"}, {"deep\\er\\c.dll", "new c"}}, kItemDone);

  EXPECT_TRUE(FinishUpdate({true, 0}));
  EXPECT_EQ(Contents(Installed("a.dll")), "new a!");
  EXPECT_EQ(Contents(Installed("bin\\b.dll")), "new b!!");
  EXPECT_EQ(Contents(Installed("deep\\er\\c.dll")), "new c");
  EXPECT_TRUE(IsUpToDate(Installed("bin\\b.dll").c_str(), 7, kStamp));
  EXPECT_FALSE(Exists(folder_ + "\\Pellinor.staging"));
  EXPECT_FALSE(Exists(Installed("gone.dll")));
  EXPECT_EQ(RunExitCode(), kExitSuccess);
}

TEST_F(CommitTest, NothingIsReplacedUnlessEveryFileIsStagedAndAManifestCame) {
  Put(Installed("a.dll"), "old a");
  Put(Installed("b.dll"), "old b");
  Put(Staged("a.dll"), "new a!", kStamp);
  List({{"a.dll", "new a!"}, {"b.dll", "new b!!"}}, kItemDone);
  DownloadList[1].State = kItemPending;
  EXPECT_FALSE(FinishUpdate({true, 0}));
  EXPECT_EQ(Contents(Installed("a.dll")), "old a");
  EXPECT_EQ(Contents(Installed("b.dll")), "old b");
  EXPECT_EQ(Contents(Staged("a.dll")), "new a!") << "kept for the next run";
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);
  EXPECT_EQ(FilesNotFetched(), 1);

  ResetRunOutcome();
  List({}, kItemDone);
  EXPECT_FALSE(FinishUpdate({false, 0})) << "no manifest is no success, even with nothing listed";
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);

  ResetRunOutcome();
  EXPECT_TRUE(FinishUpdate({true, 0})) << "a manifest that lists nothing to fetch is up to date";
  EXPECT_EQ(RunExitCode(), kExitSuccess);
}

// The serial of the accepted release is kept only once its files are all in
// place: a failed update leaves the serial of the last complete one.
TEST_F(CommitTest, TheAcceptedSerialIsKeptOnlyByACompleteUpdate) {
  List({}, kItemDone);
  EXPECT_TRUE(FinishUpdate({true, 7}));
  EXPECT_EQ(LoadReleaseSerial(), 7u);

  Put(Staged("a.dll"), "new a!", kStamp);
  List({{"a.dll", "new a!"}, {"b.dll", "new b!!"}}, kItemDone);
  DownloadList[1].State = kItemPending;
  EXPECT_FALSE(FinishUpdate({true, 9}));
  EXPECT_EQ(LoadReleaseSerial(), 7u);
  EXPECT_FALSE(FinishUpdate({false, 9}));
  EXPECT_EQ(LoadReleaseSerial(), 7u);
}

TEST_F(CommitTest, ATargetHeldWithoutSharingStaysWholeAndTheCommitFails) {
  Put(Installed("held.dll"), "old held");
  Put(Staged("held.dll"), "new held", kStamp);
  List({{"held.dll", "new held"}}, kItemDone);
  HANDLE held = CreateFileA(Installed("held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FinishUpdate({true, 0}));
  CloseHandle(held);
  EXPECT_EQ(Contents(Installed("held.dll")), "old held");
  EXPECT_EQ(Contents(Staged("held.dll")), "new held");
  EXPECT_FALSE(Exists(Staged("held.dll", "old")));
  EXPECT_EQ(FilesNotReplaced(), 1);
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);

  // The next run reuses the staged file and completes.
  ResetRunOutcome();
  List({{"held.dll", "new held"}}, kItemPending);
  PrepareUpdate();
  EXPECT_EQ(DownloadList[0].State, kItemDone);
  EXPECT_TRUE(FinishUpdate({true, 0}));
  EXPECT_EQ(Contents(Installed("held.dll")), "new held");
}

TEST_F(CommitTest, AFileInUseThatCanBeRenamedIsReplacedAndItsOldCopyGoesByTheNextRun) {
  Put(Installed("client.exe"), "old client");
  Put(Staged("client.exe"), "new client", kStamp);
  List({{"client.exe", "new client"}}, kItemDone);
  // As a running program's image: readable, renamable, not writable.
  HANDLE running = CreateFileA(Installed("client.exe").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FinishUpdate({true, 0}));
  EXPECT_EQ(Contents(Installed("client.exe")), "new client");
  CloseHandle(running);
  List({}, kItemDone);
  PrepareUpdate();
  EXPECT_TRUE(FinishUpdate({true, 0}));
  EXPECT_FALSE(Exists(Staged("client.exe", "old")));
  EXPECT_FALSE(Exists(folder_ + "\\Pellinor.staging"));
}

// A run cut between the two renames of a file in use leaves the target
// missing, the old file in old\ and the new one staged complete.
TEST_F(CommitTest, TheNextRunFinishesAReplacementCutBetweenItsRenames) {
  struct Case {
    const char* what;
    bool stagedComplete;
    const char* expected;
  } cases[] = {
      {"new file staged complete: moved in", true, "new client"},
      {"no complete new file: old one put back", false, "old client"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetRunOutcome();
    testfiles::RemoveTree(folder_ + "\\Pellinor.staging");
    DeleteFileA(Installed("client.exe").c_str());
    Put(Staged("client.exe", "old"), "old client", kStamp - 2);
    Put(Staged("client.exe"), c.stagedComplete ? "new client" : "new cl", c.stagedComplete ? kStamp : 0);
    List({{"client.exe", "new client"}}, kItemPending);
    PrepareUpdate();
    EXPECT_EQ(Contents(Installed("client.exe")), c.expected);
    EXPECT_FALSE(Exists(Staged("client.exe", "old")));
    EXPECT_EQ(RunExitCode(), kExitSuccess);
  }
  // After the roll forward the commit has nothing left for that file.
  EXPECT_EQ(CommitStagedItems(), 1) << "the cut staged file of the second case is not complete";
}

TEST_F(CommitTest, OnlyCompleteStagedFilesOfTheSameEntryAreReused) {
  Put(Staged("whole.dll"), "12345", kStamp);
  Put(Staged("unsealed.dll"), "12345");
  Put(Staged("short.dll"), "1234", kStamp);
  Put(Staged("other.dll"), "12345", kStamp + 2);
  List({{"whole.dll", "12345"}, {"unsealed.dll", "12345"}, {"short.dll", "12345"},
        {"other.dll", "12345"}, {"absent.dll", "12345"}},
       kItemPending);
  PrepareUpdate();
  EXPECT_EQ(DownloadList[0].State, kItemDone);
  for (int i = 1; i < 5; i++) EXPECT_EQ(DownloadList[i].State, kItemPending) << DownloadList[i].Name;
}

TEST_F(CommitTest, TheStagingFolderIsHiddenAndANameInsideItIsRefused) {
  List({{"x.dll", "x"}}, kItemPending);
  PrepareUpdate();
  DWORD attributes = GetFileAttributesA((folder_ + "\\Pellinor.staging").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  char path[kPathCapacity];
  EXPECT_FALSE(StagedItemPath(path, "pellinor.STAGING\\new\\x.dll", kStagedNew));
  EXPECT_FALSE(StagedItemPath(path, "..\\x.dll", kStagedNew));
  EXPECT_TRUE(StagedItemPath(path, "Pellinor.stagingX\\x.dll", kStagedNew));
}

}  // namespace
