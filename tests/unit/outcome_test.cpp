// The run's outcome: which exit code wins, and what the log's last line and
// the closing message say.
#include "runtime/outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class OutcomeTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRunOutcome(); }
  void TearDown() override { ResetRunOutcome(); }
  static std::string Summary() {
    char text[kRunSummaryCapacity];
    FormatRunSummary(text, sizeof text);
    return text;
  }
  static std::string FailureText(const char* log) {
    char text[kFailureTextCapacity];
    FormatFailureText(text, sizeof text, log);
    return text;
  }
};

TEST_F(OutcomeTest, TheFirstDecidedOutcomeWins) {
  struct Case {
    const char* what;
    std::vector<char> steps;  // f: failure, c: closed, n: files not fetched, r: not replaced
    int32_t code;
  } cases[] = {
      {"nothing noted", {}, kExitSuccess},
      {"a failure", {'f'}, kExitInstallFailed},
      {"closed", {'c'}, kExitUserClosed},
      {"closed, then the requests in flight fail", {'c', 'f', 'n'}, kExitUserClosed},
      {"failed, then closed", {'f', 'c'}, kExitInstallFailed},
      {"files not fetched", {'n'}, kExitInstallFailed},
      {"files not replaced, then closed", {'r', 'c'}, kExitInstallFailed},
  };
  for (const Case& c : cases) {
    ResetRunOutcome();
    for (char step : c.steps) {
      if (step == 'f') NoteRunFailure("x");
      if (step == 'c') NoteUserClosed();
      if (step == 'n') NoteFilesNotFetched(2);
      if (step == 'r') NoteFilesNotReplaced(1);
    }
    EXPECT_EQ(RunExitCode(), c.code) << c.what;
  }
  ResetRunOutcome();
  NoteFilesNotFetched(0);
  EXPECT_EQ(RunExitCode(), kExitSuccess) << "no file missing is no failure";
}

TEST_F(OutcomeTest, TheFirstReasonIsKeptAndTheSummaryTellsEverything) {
  EXPECT_EQ(Summary(),
            "run: outcome 0 (success); 0 files installed, 0 bytes; staged from mirrors 0, "
            "session 0, reused 0; 0 not fetched, 0 not replaced");
  NoteFileStaged(kSourceMirror);
  NoteFileStaged(kSourceMirror);
  NoteFileStaged(kSourceSession);
  NoteFileStaged(kSourceStaging);
  NoteFileInstalled(3000000000LL);  // past 32 bits
  NoteFileInstalled(1234567890123456789LL);
  NoteFileInstalled(7);
  NoteRunFailure("bin\\a.dll: the host sent fewer bytes than listed");
  NoteRunFailure("files could not be downloaded");
  NoteFilesNotFetched(2);
  EXPECT_STREQ(RunFailureReason(), "bin\\a.dll: the host sent fewer bytes than listed");
  EXPECT_EQ(Summary(),
            "run: outcome 1603 (installation failed); 3 files installed, 1234567893123456796 "
            "bytes; staged from mirrors 2, session 1, reused 1; 2 not fetched, 0 not replaced; "
            "first failure: bin\\a.dll: the host sent fewer bytes than listed");

  ResetRunOutcome();
  NoteFileInstalled(1000000000000000000LL);
  NoteFileInstalled(10);
  NoteUserClosed();
  EXPECT_NE(Summary().find("outcome 1602 (closed by the user); 2 files installed, "
                           "1000000000000000010 bytes"),
            std::string::npos)
      << Summary();

  char tiny[12];
  FormatRunSummary(tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "run: outcom");
}

TEST_F(OutcomeTest, TheFailureTextNamesWhatFailedAndWhereTheLogIs) {
  NoteFilesNotFetched(1);
  EXPECT_EQ(FailureText(nullptr), "Installation failed: 1 file could not be downloaded.");
  NoteFilesNotFetched(2);
  NoteFilesNotReplaced(1);
  EXPECT_EQ(FailureText("C:\\logs\\p.log"),
            "Installation failed: 3 files could not be downloaded.\r\nDetails: C:\\logs\\p.log");

  ResetRunOutcome();
  NoteFilesNotReplaced(2);
  EXPECT_EQ(FailureText(""), "Installation failed: 2 files could not be replaced.");

  ResetRunOutcome();
  NoteRunFailure("no file list from any source");
  EXPECT_EQ(FailureText(nullptr), "Installation failed: no file list from any source.");
}

TEST_F(OutcomeTest, ThePresetMarkerIsNeverOpenedAsALaunchLine) {
  struct Case {
    const char* line;
    bool opens;
  } cases[] = {
      {"link", false},        {"LINK", false},
      {"Link", false},        {"", false},
      {"link2", true},        {"link x", true},
      {"C:\\Users\\Public\\Desktop\\Brevane Client.lnk", true},
      {"\"C:\\x\\Lumaris.exe\" \"/a\"", true},
  };
  for (const Case& c : cases) EXPECT_EQ(LaunchLineMayOpen(c.line), c.opens) << c.line;
  EXPECT_FALSE(LaunchLineMayOpen(nullptr));
}

}  // namespace
