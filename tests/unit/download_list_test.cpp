// The download list from manifest text: what is listed, what counts as
// present, the total, and the sites the manifest registers. The file system
// is a table here; the real up-to-date check is tested under Wine.
#include "manifest/download_list.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/sites.h"
#include "runtime/outcome.h"
#include "runtime/progress.h"

namespace {

const uint32_t kStamp = 0x406C5A8F;

struct LocalFile {
  int32_t size;
  uint32_t stamp;
};
std::map<std::string, LocalFile> Present;

// The rule of IsUpToDate over the table: same size and stamp, or any file
// for a size 0 entry.
bool PresentInTable(const char* path, int32_t size, uint32_t stamp) {
  auto found = Present.find(path);
  if (found == Present.end()) return false;
  if (size == 0) return true;
  return found->second.size == size && found->second.stamp == stamp;
}

std::string Line(const std::string& name, int size, uint32_t stamp) {
  return name + "=" + std::to_string(size) + "," + std::to_string(stamp) + "\r\n";
}

class DownloadListTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    FreeDownloadList();
    ResetSiteTable();
    Present.clear();
    BytesTotal = 0;
  }

  // Lists a copy of text (with the spare byte the transfer buffers have).
  std::vector<std::string> List(const std::string& text, int32_t installMode = 0,
                                const char* language = "") {
    buffer_.assign(text.begin(), text.end());
    buffer_.push_back('\x7f');
    ManifestSettings settings = {0x02, installMode, language, "C:\\Inst\\"};
    ListManifestText(buffer_.data(), static_cast<int32_t>(text.size()), settings, PresentInTable);
    std::vector<std::string> names;
    for (int32_t i = 0; i < DownloadCount; i++) names.push_back(DownloadList[i].Name);
    return names;
  }

  std::vector<char> buffer_;
};

TEST_F(DownloadListTest, ListsTheSelectedSectionsThatAreMissingOrOld) {
  Present["C:\\Inst\\same.dll"] = {10, kStamp};
  Present["C:\\Inst\\older.dll"] = {20, kStamp - 1};
  std::vector<std::string> listed =
      List("before.txt=5,1\r\n[CLIENT]\r\n" + Line("bin\\app.dll", 1024, kStamp) +
           Line("same.dll", 10, kStamp) + Line("older.dll", 20, kStamp) + "[SERVERONLY]\r\n" +
           Line("server.cfg", 7, kStamp) + "[SITES]\r\nhttp://mirror.test.invalid/c=3\r\n" +
           "https://not.a.site\r\n[client]\r\n" + Line("last.txt", 30, kStamp));
  EXPECT_EQ(listed, (std::vector<std::string>{"bin\\app.dll", "older.dll", "last.txt"}));
  ASSERT_EQ(DownloadCount, 3);
  EXPECT_EQ(DownloadList[0].Size, 1024);
  EXPECT_EQ(DownloadList[0].Stamp, kStamp);
  for (int32_t i = 0; i < DownloadCount; i++) {
    EXPECT_EQ(DownloadList[i].State, kItemPending);
    EXPECT_EQ(DownloadList[i].Received, 0);
  }
  EXPECT_EQ(BytesTotal, 1024 + 20 + 30);
  // The manifest's sites are registered; another scheme is not a site.
  ASSERT_EQ(SiteCount, 1);
  EXPECT_STREQ(SiteTable[0]->Url, "http://mirror.test.invalid/c");
  EXPECT_EQ(SiteTable[0]->Threads, 3);
}

TEST_F(DownloadListTest, EverythingUpToDateListsNothing) {
  Present["C:\\Inst\\a.dll"] = {4, kStamp};
  Present["C:\\Inst\\empty.txt"] = {123, 1};  // size 0 entry: any file will do
  EXPECT_TRUE(List("[CLIENT]\r\n" + Line("a.dll", 4, kStamp) + Line("empty.txt", 0, kStamp))
                  .empty());
  EXPECT_EQ(BytesTotal, 0);
}

TEST_F(DownloadListTest, HostedInstallsKeepTheirLanguageAndTheTopLevel) {
  EXPECT_EQ(List("[CLIENT]\r\n" + Line("top.dll", 1, kStamp) + Line("EN\\help.txt", 2, kStamp) +
                     Line("DE\\help.txt", 3, kStamp) + Line("ENG\\help.txt", 4, kStamp) +
                     Line("en\\lower.txt", 5, kStamp),
                 kModeHosted, "EN"),
            (std::vector<std::string>{"top.dll", "EN\\help.txt", "en\\lower.txt"}));
  EXPECT_EQ(BytesTotal, 1 + 2 + 5);
}

TEST_F(DownloadListTest, NamesThatLeaveTheInstallFolderAreDropped) {
  EXPECT_EQ(List("[CLIENT]\r\n" + Line("..\\evil.dll", 1, kStamp) + Line("C:\\abs.dll", 1, kStamp) +
                 Line("\\root.dll", 1, kStamp) + Line("a\\..\\..\\b.dll", 1, kStamp) +
                 Line("con", 1, kStamp) + Line("COM0.txt", 1, kStamp) +
                 Line("wild*.dll", 1, kStamp) + Line(std::string(64, 'n'), 1, kStamp) +
                 Line(std::string(63, 'k'), 1, kStamp) + Line("ok\\fine.dll", 1, kStamp)),
            (std::vector<std::string>{std::string(63, 'k'), "ok\\fine.dll"}));
}

TEST_F(DownloadListTest, ManifestsOfMoreThan1024LinesAreListedWhole) {
  std::string text = "[CLIENT]\r\n";
  for (int i = 0; i < 1100; i++) text += Line("f" + std::to_string(i) + ".bin", i + 1, kStamp);
  List(text);
  ASSERT_EQ(DownloadCount, 1100);
  EXPECT_STREQ(DownloadList[1099].Name, "f1099.bin");
  EXPECT_EQ(DownloadList[1099].Size, 1100);
  EXPECT_EQ(BytesTotal, 1100 * 1101 / 2);
}

// The total is added to what was there, a 64-bit sum past 2 GiB.
TEST_F(DownloadListTest, TheTotalIsA64BitSum) {
  BytesTotal = 100;
  List("[CLIENT]\r\n" + Line("a", 2147483000, kStamp) + Line("b", 2147483000, kStamp));
  EXPECT_EQ(DownloadCount, 2);
  EXPECT_EQ(BytesTotal, 100 + 2 * int64_t{2147483000});
  BytesTotal = 5;
  List("[CLIENT]\r\n" + Line("c", 7, kStamp));
  EXPECT_EQ(BytesTotal, 12);
}

}  // namespace

// A build that trusts a release key lists nothing from a manifest in which
// any selected file lacks its hash, present or not: it could not be
// verified. Without a key such files are listed, and hashes reach the items.
TEST_F(DownloadListTest, ASignedReleaseListsNothingWhenAFileLacksItsHash) {
  const std::string hash(64, 'a');
  const std::string hashed = "a.dll=5,7," + hash + "\r\n";
  struct Case {
    const char* what;
    std::string text;
    bool requireHashes;
    int32_t refused;
    size_t listed;
  } cases[] = {
      {"all hashed, key", "[CLIENT]\r\n" + hashed, true, 0, 1},
      {"one unhashed, key", "[CLIENT]\r\n" + hashed + "b.dll=5,7\r\n", true, 1, 0},
      {"unhashed and present, key", "[CLIENT]\r\nhere.dll=3,7\r\n" + hashed, true, 1, 0},
      {"unhashed outside the selection, key", "[CLIENT]\r\n" + hashed + "[ONDEMAND]\r\nx=1,2\r\n",
       true, 0, 1},
      {"one unhashed, keyless", "[CLIENT]\r\n" + hashed + "b.dll=5,7\r\n", false, 0, 2},
  };
  for (const Case& c : cases) {
    Reset();
    Present["C:\\Inst\\here.dll"] = {3, 7};
    buffer_.assign(c.text.begin(), c.text.end());
    buffer_.push_back('\x7f');
    ManifestSettings settings = {0x02, 0, "", "C:\\Inst\\"};
    int32_t refused = ListManifestText(buffer_.data(), static_cast<int32_t>(c.text.size()),
                                       settings, PresentInTable, c.requireHashes);
    EXPECT_EQ(refused, c.refused) << c.what;
    EXPECT_EQ(static_cast<size_t>(DownloadCount), c.listed) << c.what;
  }
  Reset();
  List("[CLIENT]\r\n" + hashed + "b.dll=5,7\r\n");
  ASSERT_EQ(DownloadCount, 2);
  EXPECT_TRUE(DownloadList[0].HasHash);
  EXPECT_EQ(DownloadList[0].Hash[0], 0xAA);
  EXPECT_EQ(DownloadList[0].Hash[31], 0xAA);
  EXPECT_FALSE(DownloadList[1].HasHash);
}

// A selected file whose hash is malformed (uppercase, short) cannot be
// fetched as listed, and never unverified: it is a failed file of the run,
// named in its reason, while the rest is listed and installs. Lines the
// selection or the language filter leaves out fail nothing.
TEST_F(DownloadListTest, AMalformedHashIsAFileThatCannotBeFetched) {
  const std::string hash(64, 'a');
  const std::string good = "good.dll=5,7," + hash + "\r\n";
  struct Case {
    const char* what;
    std::string text;
    int32_t notFetched;
    size_t listed;
  } cases[] = {
      {"uppercase", "[CLIENT]\r\n" + good + "EN\\bad.dll=5,7," + std::string(64, 'A') + "\r\n", 1, 1},
      {"short", "[CLIENT]\r\nbad.dll=5,7," + hash.substr(1) + "\r\n" + good + "x.dll=5,7,\r\n", 2, 1},
      {"another section", "[CLIENT]\r\n" + good + "[ONDEMAND]\r\nbad.dll=5,7,AA\r\n", 0, 1},
      {"another language", "[CLIENT]\r\n" + good + "DE\\bad.dll=5,7,AA\r\n", 0, 1},
  };
  for (const Case& c : cases) {
    Reset();
    ResetRunOutcome();
    EXPECT_EQ(List(c.text, kModeHosted, "EN"), std::vector<std::string>{"good.dll"}) << c.what;
    EXPECT_EQ(FilesNotFetched(), c.notFetched) << c.what;
    EXPECT_EQ(RunExitCode(), c.notFetched > 0 ? kExitInstallFailed : kExitSuccess) << c.what;
  }
  EXPECT_STREQ(RunFailureReason(), "");
  ResetRunOutcome();
  List("[CLIENT]\r\nEN\\bad.dll=5,7,AA\r\n", kModeHosted, "EN");
  EXPECT_STREQ(RunFailureReason(), "EN\\bad.dll: its hash in the file list is malformed");
  ResetRunOutcome();
}
