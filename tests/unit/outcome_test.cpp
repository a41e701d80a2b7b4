// The run's outcome: which exit code wins, and what the log's last line and
// the closing message say.
#include "runtime/outcome.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

class OutcomeTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRunOutcome(); }
  void TearDown() override { ResetRunOutcome(); }
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

TEST_F(OutcomeTest, TheFirstReasonIsKeptAndTheCountsAddUp) {
  RunCounts none = CurrentRunCounts();
  EXPECT_EQ(none.FilesInstalled, 0);
  EXPECT_EQ(none.BytesInstalled, 0);
  for (int32_t staged : none.Staged) EXPECT_EQ(staged, 0);

  NoteFileStaged(kSourceMirror);
  NoteFileStaged(kSourceMirror);
  NoteFileStaged(kSourceSession);
  NoteFileStaged(kSourceStaging);
  NoteFileStaged(static_cast<FileSource>(7));  // no such source: not counted
  NoteFileInstalled(3000000000LL);  // past 32 bits
  NoteFileInstalled(1234567890123456789LL);
  NoteFileInstalled(7);
  NoteRunFailure("bin\\a.dll: the host sent fewer bytes than listed");
  NoteRunFailure("files could not be downloaded");
  NoteFilesNotFetched(2);
  NoteFilesNotReplaced(-1);
  NoteFetchedBytes(415789, 5000000000LL);
  EXPECT_STREQ(RunFailureReason(), "bin\\a.dll: the host sent fewer bytes than listed");
  RunCounts counts = CurrentRunCounts();
  EXPECT_EQ(counts.FilesInstalled, 3);
  EXPECT_EQ(counts.BytesInstalled, 1234567893123456796LL);
  EXPECT_EQ(counts.Staged[kSourceMirror], 2);
  EXPECT_EQ(counts.Staged[kSourceSession], 1);
  EXPECT_EQ(counts.Staged[kSourceStaging], 1);
  EXPECT_EQ(counts.NotFetched, 2);
  EXPECT_EQ(counts.NotReplaced, 0);
  EXPECT_EQ(counts.FetchedBytes, 415789);
  EXPECT_EQ(counts.FullBytes, 5000000000LL);
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);

  // The log's last line is cut to its buffer, never written past it.
  char tiny[12 + 4];
  memset(tiny, 'x', sizeof tiny);
  FormatRunSummary(tiny, 12);
  EXPECT_EQ(strlen(tiny), 11u);
  EXPECT_EQ(tiny[12], 'x');
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
