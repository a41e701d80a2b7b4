// The download list on the real file system: whether a local file is up to
// date, the one-piece file read, and BuildDownloadList from the manifest
// beside the program and from a manifest URL.
#include "manifest/download_list.h"

#include <gtest/gtest.h>

#include "tests/win/test_files.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "app/progress.h"
#include "app/run_control.h"
#include "config/settings.h"
#include "manifest/sites.h"
#include "tests/win/http_responder.h"
#include "transfer/session.h"

namespace {

using testfiles::RemoveTree;

uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second) {
  return (static_cast<uint32_t>(year - 1980) << 25) | (month << 21) | (day << 16) |
         (hour << 11) | (minute << 5) | (second / 2);
}
const uint32_t kStamp = DosStamp(2012, 3, 15, 10, 20, 30);


// Writes the bytes and, when stamp is not 0, sets the last-write time from it
// as the downloads do.
void PutFile(const std::string& path, const std::string& bytes, uint32_t stamp = 0) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (stamp != 0) {
    FILETIME time;
    DosDateTimeToFileTime(static_cast<WORD>(stamp >> 16), static_cast<WORD>(stamp), &time);
    SetFileTime(file, nullptr, nullptr, &time);
  }
  CloseHandle(file);
}

std::string Line(const std::string& name, int size, uint32_t stamp) {
  return name + "=" + std::to_string(size) + "," + std::to_string(stamp) + "\r\n";
}

class DownloadListTest : public testing::Test {
 protected:
  void SetUp() override {
    if (WorkBuffer == nullptr) ASSERT_TRUE(InitTransfer());
    folder_ = testfiles::MakeScratchFolder("list");
    ASSERT_FALSE(folder_.empty());
    install_ = folder_ + "\\inst\\";
    ASSERT_TRUE(CreateDirectoryA(install_.c_str(), nullptr));

    ResetInstallSettings();
    ResetSiteTable();
    FreeDownloadList();
    BytesTotal = 0;
    SetProgram(folder_ + "\\Pellinor.exe");
    snprintf(InstallSettings.InstallDir, kPathCapacity, "%s", install_.c_str());
  }
  void TearDown() override {
    FreeDownloadList();
    ResetSiteTable();
    ResetInstallSettings();
    BytesTotal = 0;
    RemoveTree(folder_);
  }

  void SetProgram(const std::string& path) {
    snprintf(program_, sizeof program_, "%s", path.c_str());
    ArgTable[0] = program_;
    ArgCount = 1;
  }
  // The manifest beside the program.
  void PutManifest(const std::string& text) { PutFile(folder_ + "\\Pellinor.ver", text); }

  std::vector<std::string> Listed() const {
    std::vector<std::string> names;
    for (int32_t i = 0; i < DownloadCount; i++) names.push_back(DownloadList[i].Name);
    return names;
  }

  std::string folder_;
  std::string install_;
  char program_[MAX_PATH];
};

TEST_F(DownloadListTest, UpToDateNeedsTheSameSizeAndStamp) {
  const std::string present = install_ + "present.dll";
  PutFile(present, std::string(1024, 'x'), kStamp);
  const std::string empty = install_ + "empty.txt";
  PutFile(empty, "", kStamp);
  ASSERT_TRUE(CreateDirectoryA((install_ + "folder").c_str(), nullptr));
  struct Case {
    const char* what;
    std::string path;
    int32_t size;
    uint32_t stamp;
    bool expected;
  } cases[] = {
      {"missing", install_ + "missing.dll", 1024, kStamp, false},
      {"exact", present, 1024, kStamp, true},
      {"size 0 entry, any file", present, 0, 12345, true},
      {"size 0 entry, empty file", empty, 0, 0, true},
      {"wrong size", present, 1023, kStamp, false},
      {"wrong stamp by 2 s", present, 1024, kStamp + 1, false},
      {"stamp 0", present, 1024, 0, false},
      {"negative size", present, -1024, kStamp, false},
      {"a folder is not the file", install_ + "folder", 0, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsUpToDate(c.path.c_str(), c.size, c.stamp), c.expected) << c.what;
}

TEST_F(DownloadListTest, ReadFileToBufferReadsOnePieceOfAtMost100000Bytes) {
  std::vector<char> buffer(150000, '#');
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\missing").c_str(), buffer.data()), 0);

  PutFile(folder_ + "\\small", "abc");
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\small").c_str(), buffer.data()), 3);
  EXPECT_EQ(std::string(buffer.data(), 4), "abc#");

  std::string big(120000, 0);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i % 253);
  PutFile(folder_ + "\\big", big);
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\big").c_str(), buffer.data()), 100000);
  EXPECT_EQ(std::string(buffer.data(), 100000), big.substr(0, 100000));
  EXPECT_EQ(buffer[100000], '#');  // nothing past the limit
}

TEST_F(DownloadListTest, ReadFileToBufferGivesMinusOneWhenTheReadFails) {
  const std::string path = folder_ + "\\locked";
  PutFile(path, std::string(500, 'l'));
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(LockFile(holder, 0, 0, 500, 0));  // another handle may not read the range
  // Wine does not always enforce a lock between two handles of one process;
  // without that there is no way to make the read fail here.
  HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char byte;
  DWORD got = 0;
  bool enforced = !ReadFile(probe, &byte, 1, &got, nullptr);
  CloseHandle(probe);
  if (!enforced) {
    UnlockFile(holder, 0, 0, 500, 0);
    CloseHandle(holder);
    GTEST_SKIP() << "byte-range locks are not enforced between handles here";
  }
  std::vector<char> buffer(1000);
  EXPECT_EQ(ReadFileToBuffer(path.c_str(), buffer.data()), -1);
  UnlockFile(holder, 0, 0, 500, 0);
  CloseHandle(holder);
}

TEST_F(DownloadListTest, ListsTheSelectedSectionsThatAreMissingOrOld) {
  PutFile(install_ + "same.dll", std::string(10, 's'), kStamp);
  PutFile(install_ + "older.dll", std::string(20, 'o'), kStamp - 1);
  PutManifest("before.txt=5,1\r\n"
              "[CLIENT]\r\n" +
              Line("bin\\app.dll", 1024, kStamp) + Line("same.dll", 10, kStamp) +
              Line("older.dll", 20, kStamp) +
              "[SERVERONLY]\r\n" + Line("server.cfg", 7, kStamp) +
              "[SITES]\r\nhttp://mirror.test.invalid/c=3\r\n"
              "[client]\r\n" + Line("last.txt", 30, kStamp));
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"bin\\app.dll", "older.dll", "last.txt"}));
  ASSERT_EQ(DownloadCount, 3);
  EXPECT_EQ(DownloadList[0].Size, 1024);
  EXPECT_EQ(DownloadList[0].Stamp, kStamp);
  for (int32_t i = 0; i < DownloadCount; i++) {
    EXPECT_EQ(DownloadList[i].State, kItemPending);
    EXPECT_EQ(DownloadList[i].Received, 0);
  }
  EXPECT_EQ(BytesTotal, 1024 + 20 + 30);
  ASSERT_EQ(SiteCount, 1);
  EXPECT_STREQ(SiteTable[0]->Url, "http://mirror.test.invalid/c");
  EXPECT_EQ(SiteTable[0]->Threads, 3);
}

TEST_F(DownloadListTest, EverythingUpToDateListsNothing) {
  PutFile(install_ + "a.dll", "aaaa", kStamp);
  PutManifest("[CLIENT]\r\n" + Line("a.dll", 4, kStamp));
  BuildDownloadList();
  EXPECT_EQ(DownloadCount, 0);
  EXPECT_EQ(BytesTotal, 0);
}

TEST_F(DownloadListTest, HostedInstallsKeepTheirLanguageAndTheTopLevel) {
  InstallSettings.InstallMode = kModeHosted;
  snprintf(InstallSettings.Language, kLanguageCapacity, "EN");
  PutManifest("[CLIENT]\r\n" + Line("top.dll", 1, kStamp) + Line("EN\\help.txt", 2, kStamp) +
              Line("DE\\help.txt", 3, kStamp) + Line("ENG\\help.txt", 4, kStamp) +
              Line("en\\lower.txt", 5, kStamp));
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"top.dll", "EN\\help.txt", "en\\lower.txt"}));
  EXPECT_EQ(BytesTotal, 1 + 2 + 5);
}

TEST_F(DownloadListTest, NamesThatLeaveTheInstallFolderAreDropped) {
  PutManifest("[CLIENT]\r\n" + Line("..\\evil.dll", 1, kStamp) + Line("C:\\abs.dll", 1, kStamp) +
              Line("\\root.dll", 1, kStamp) + Line("a\\..\\..\\b.dll", 1, kStamp) +
              Line("con", 1, kStamp) + Line("wild*.dll", 1, kStamp) +
              Line(std::string(64, 'n'), 1, kStamp) + Line(std::string(63, 'k'), 1, kStamp) +
              Line("ok\\fine.dll", 1, kStamp));
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{std::string(63, 'k'), "ok\\fine.dll"}));
}

TEST_F(DownloadListTest, ManifestsOfMoreThan1024LinesAreListedWhole) {
  std::string text = "[CLIENT]\r\n";
  for (int i = 0; i < 1100; i++) text += Line("f" + std::to_string(i) + ".bin", i + 1, kStamp);
  PutManifest(text);
  BuildDownloadList();
  ASSERT_EQ(DownloadCount, 1100);
  EXPECT_STREQ(DownloadList[1099].Name, "f1099.bin");
  EXPECT_EQ(DownloadList[1099].Size, 1100);
  EXPECT_EQ(BytesTotal, 1100 * 1101 / 2);
}

// The source reads 100000 bytes: the line it stops in is not listed under a
// cut name, and nothing after it is read.
TEST_F(DownloadListTest, TheLineCutByTheReadLimitIsNotListed) {
  std::string text = "[CLIENT]\r\n";
  int complete = 0;
  std::string lastComplete;
  for (int i = 0; text.size() < 120000; i++) {
    std::string name = "data\\file" + std::to_string(i) + ".bin";
    text += Line(name, 1, kStamp);
    if (text.size() - 1 <= 100000) {  // its CR is inside the read
      complete++;
      lastComplete = name;
    }
  }
  ASSERT_NE(text.size(), 100000u);
  PutManifest(text);
  BuildDownloadList();
  ASSERT_EQ(DownloadCount, complete);
  EXPECT_EQ(DownloadList[DownloadCount - 1].Name, lastComplete);
}

TEST_F(DownloadListTest, TheManifestBesideAProgramWithoutExtension) {
  const std::string folder = folder_ + "\\my.dir";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  SetProgram(folder + "\\setup");
  PutFile(folder + "\\setup.ver", "[CLIENT]\r\n" + Line("x.dll", 9, kStamp));
  PutManifest("[CLIENT]\r\n" + Line("wrong.dll", 9, kStamp));
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"x.dll"}));
}

TEST_F(DownloadListTest, AManifestUrlIsReadInsteadOfTheFileBesideTheProgram) {
  HttpResponder server;
  server.Set("/install/files.ver", "[CLIENT]\r\n" + Line("http.dll", 5, kStamp));
  PutManifest("[CLIENT]\r\n" + Line("local.dll", 5, kStamp));
  snprintf(InstallSettings.ManifestUrl, kPathCapacity, "%s",
           server.Url("/install/files.ver").c_str());
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"http.dll"}));
  EXPECT_EQ(server.LastUserAgent(), "BREVANE");
}

// A manifest URL that reads nothing falls through to the session, never to
// the file beside the program; without a session the list is empty.
TEST_F(DownloadListTest, AnEmptyManifestUrlWithoutSessionListsNothing) {
  ASSERT_EQ(SessionChannel, 0u);
  HttpResponder server;
  server.Set("/empty.ver", "");
  PutManifest("[CLIENT]\r\n" + Line("local.dll", 5, kStamp));
  snprintf(InstallSettings.ManifestUrl, kPathCapacity, "%s", server.Url("/empty.ver").c_str());
  BuildDownloadList();
  EXPECT_EQ(server.Requests(), 1);
  EXPECT_EQ(DownloadCount, 0);
  EXPECT_EQ(BytesTotal, 0);
}

}  // namespace
