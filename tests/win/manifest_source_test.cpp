// Where the manifest comes from, on the real file system and over HTTP: the
// file beside the program, a manifest URL, and the read limit of a source.
// What the list keeps of a text is tested natively (download_list_test).
#include "transfer/manifest_source.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "app/run_control.h"
#include "config/settings.h"
#include "config/sites.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "runtime/progress.h"
#include "tests/win/http_responder.h"
#include "transfer/session.h"
#include "transfer/transfer_buffers.h"

namespace {

using testfiles::RemoveTree;

using testfiles::DosStamp;
const uint32_t kStamp = DosStamp(2012, 3, 15, 10, 20, 30);

void PutFile(const std::string& path, const std::string& bytes, uint32_t stamp = 0) {
  ASSERT_TRUE(testfiles::PutFile(path, bytes, stamp)) << path;
}

std::string Line(const std::string& name, int size, uint32_t stamp) {
  return name + "=" + std::to_string(size) + "," + std::to_string(stamp) + "\r\n";
}

class ManifestSourceTest : public testing::Test {
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

// A manifest of n one-byte files: the text and the name of its last file.
std::string ManyFiles(size_t atLeast, int* count) {
  std::string text = "[CLIENT]\r\n";
  *count = 0;
  while (text.size() < atLeast) text += Line("data\\file" + std::to_string((*count)++) + ".bin", 1, kStamp);
  return text;
}

// Past the 100,000 bytes of earlier installers, every line is read, from the
// file beside the program and over HTTP alike.
TEST_F(ManifestSourceTest, LargeManifestsAreReadWhole) {
  int count = 0;
  const std::string text = ManyFiles(300000, &count);
  PutManifest(text);
  BuildDownloadList();
  ASSERT_EQ(DownloadCount, count);
  EXPECT_EQ(std::string(DownloadList[count - 1].Name), "data\\file" + std::to_string(count - 1) + ".bin");

  FreeDownloadList();
  HttpResponder server;
  server.Set("/big.ver", text);
  snprintf(InstallSettings.ManifestUrl, kPathCapacity, "%s", server.Url("/big.ver").c_str());
  EXPECT_TRUE(BuildDownloadList().Found);
  EXPECT_EQ(DownloadCount, count);
}

// A text of exactly 100,000 bytes is judged as the single read of earlier
// installers judged it: its last line may have been cut, so a line without
// its CR there is not listed.
TEST_F(ManifestSourceTest, ATextOfExactlyTheEarlierReadLimitIsJudgedAsBefore) {
  int count = 0;
  std::string text = ManyFiles(99900, &count);
  std::string last = "z=1," + std::to_string(kStamp) + ",";
  last += std::string(100000 - text.size() - last.size(), 'x');
  text += last;
  ASSERT_EQ(text.size(), 100000u);
  PutManifest(text);
  BuildDownloadList();
  EXPECT_EQ(DownloadCount, count);
}

// Over the bound nothing is listed and the run fails: a cut list would
// install part of a release.
TEST_F(ManifestSourceTest, AManifestOverTheBoundIsRefused) {
  ResetRunOutcome();
  std::string text = "[CLIENT]\r\n" + Line("a.dll", 1, kStamp);
  text.resize(kManifestSizeLimit + 1, '\n');
  PutManifest(text);
  EXPECT_FALSE(BuildDownloadList().Found);
  EXPECT_EQ(DownloadCount, 0);
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);

  ResetRunOutcome();
  text.resize(kManifestSizeLimit);
  PutManifest(text);
  BuildDownloadList();
  EXPECT_EQ(DownloadCount, 1);
  EXPECT_EQ(RunExitCode(), kExitSuccess);
  ResetRunOutcome();
}

TEST_F(ManifestSourceTest, TheManifestBesideAProgramWithoutExtension) {
  const std::string folder = folder_ + "\\my.dir";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  SetProgram(folder + "\\setup");
  PutFile(folder + "\\setup.ver", "[CLIENT]\r\n" + Line("x.dll", 9, kStamp));
  PutManifest("[CLIENT]\r\n" + Line("wrong.dll", 9, kStamp));
  BuildDownloadList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"x.dll"}));
}

TEST_F(ManifestSourceTest, AManifestUrlIsReadInsteadOfTheFileBesideTheProgram) {
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
TEST_F(ManifestSourceTest, AnEmptyManifestUrlWithoutSessionListsNothing) {
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
