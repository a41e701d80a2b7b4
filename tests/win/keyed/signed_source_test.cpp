// The signed manifest from each of its sources, in a program that trusts the
// build's test key: files.ver.sig is read beside files.ver (manifest URL
// plus ".sig", the .ver file beside the program plus ".sig"), and nothing
// is listed unless it verifies.
#include "transfer/manifest_source.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "app/run_control.h"
#include "config/settings.h"
#include "config/sites.h"
#include "keyed_vectors.h"
#include "manifest/download_list.h"
#include "manifest/release_key.h"
#include "runtime/outcome.h"
#include "runtime/progress.h"
#include "tests/support/test_files.h"
#include "tests/win/http_responder.h"
#include "transfer/transfer_buffers.h"

namespace {

class SignedSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kHaveReleaseKey);
    if (WorkBuffer == nullptr) ASSERT_TRUE(InitTransfer());
    folder_ = testfiles::MakeScratchFolder("signed");
    ASSERT_FALSE(folder_.empty());
    install_ = folder_ + "\\inst\\";
    ASSERT_TRUE(CreateDirectoryA(install_.c_str(), nullptr));
    ResetInstallSettings();
    ResetSiteTable();
    ResetRunOutcome();
    FreeDownloadList();
    BytesTotal = 0;
    snprintf(program_, sizeof program_, "%s\\Pellinor.exe", folder_.c_str());
    ArgTable[0] = program_;
    ArgCount = 1;
    snprintf(InstallSettings.InstallDir, kPathCapacity, "%s", install_.c_str());
  }
  void TearDown() override {
    FreeDownloadList();
    ResetSiteTable();
    ResetInstallSettings();
    ResetRunOutcome();
    testfiles::RemoveTree(folder_);
  }
  void Beside(const char* name, const std::string& bytes) {
    ASSERT_TRUE(testfiles::PutFile(folder_ + "\\" + name, bytes, 0));
  }
  // Listed (the one file of the manifest) or refused as a failed run.
  void ExpectListed(const ListedManifest& result, bool listed, const char* what) {
    EXPECT_EQ(DownloadCount, listed ? 1 : 0) << what;
    EXPECT_EQ(result.Found, listed) << what;
    EXPECT_EQ(RunExitCode(), listed ? kExitSuccess : kExitInstallFailed) << what;
    EXPECT_EQ(result.AcceptedSerial, listed ? 3u : 0u) << what;
  }

  std::string folder_;
  std::string install_;
  char program_[MAX_PATH];
};

TEST_F(SignedSourceTest, OverHttpTheSignatureIsTheManifestUrlPlusSig) {
  const std::string altered = std::string(kSignedManifest) + "b.dll=1,2," + std::string(64, 'a') + "\r\n";
  struct Case {
    const char* what;
    std::string manifest;
    const char* sig;  // null: none served (a 404 page comes instead)
    bool listed;
  } cases[] = {
      {"genuine", kSignedManifest, kSignedManifestSig, true},
      {"no signature", kSignedManifest, nullptr, false},
      {"another key", kSignedManifest, kOtherKeySig, false},
      {"a line added", altered, kSignedManifestSig, false},
  };
  for (const Case& c : cases) {
    ResetRunOutcome();
    HttpResponder server;
    server.Set("/rel/files.ver", c.manifest);
    if (c.sig != nullptr) server.Set("/rel/files.ver.sig", c.sig);
    snprintf(InstallSettings.ManifestUrl, kPathCapacity, "%s", server.Url("/rel/files.ver").c_str());
    ExpectListed(BuildDownloadList(), c.listed, c.what);
    EXPECT_EQ(server.Requests(), 2) << c.what;  // files.ver and files.ver.sig, nothing else
  }
}

TEST_F(SignedSourceTest, BesideTheProgramTheSignatureIsTheVerFilePlusSig) {
  Beside("Pellinor.ver", kSignedManifest);
  ExpectListed(BuildDownloadList(), false, "no .sig beside");

  ResetRunOutcome();
  Beside("Pellinor.ver.sig", kSignedManifestSig);
  ExpectListed(BuildDownloadList(), true, "genuine");

  // One byte over the signature's limit is refused unread, even with the
  // genuine text at its start.
  ResetRunOutcome();
  std::string padded = kSignedManifestSig;
  padded.resize(4097, '\n');
  Beside("Pellinor.ver.sig", padded);
  ExpectListed(BuildDownloadList(), false, "a .sig over 4096 bytes");
}

}  // namespace
