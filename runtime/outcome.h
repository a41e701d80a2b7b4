// The outcome of a run, kept process-wide so that the exit code, the closing
// message and the log's last line all tell the same story. Any thread may
// note into it; the first decided outcome wins, so a failure that follows a
// close by the user (the close fails the requests in flight) stays a close,
// and a close after a failure stays a failure.
#pragma once

#include <stdint.h>

// Exit codes in the convention that software-distribution tools read.
enum {
  kExitSuccess = 0,          // installed, or nothing to do
  kExitUserClosed = 1602,    // the window was closed before the end
  kExitInstallFailed = 1603  // something the run had to do was not done
};

// Where a file that is now staged complete came from.
enum FileSource { kSourceMirror, kSourceSession, kSourceStaging };

enum { kOutcomeReasonCapacity = 160, kRunSummaryCapacity = 400, kFailureTextCapacity = 400 };

// The run failed; what is kept as its reason (the first one only). Also
// used for a reason without deciding anything when the code is already set.
void NoteRunFailure(const char* what);
// Files that could not be fetched, or could not be moved into place: each
// count is a run failure.
void NoteFilesNotFetched(int32_t count);
void NoteFilesNotReplaced(int32_t count);
// The window was closed before the job ended.
void NoteUserClosed();
// The job has ended by itself (posted its own end).
void NoteJobEnded();
bool JobEnded();

// A file staged complete and verified, by source.
void NoteFileStaged(FileSource source);
// A file moved into place (or found staged and moved in by recovery).
void NoteFileInstalled(int64_t bytes);
// The bytes this run fetched for the files it staged, against their full
// size (less when delta updates reused installed chunks).
void NoteFetchedBytes(int64_t fetched, int64_t full);

int32_t RunExitCode();
int32_t FilesNotFetched();
int32_t FilesNotReplaced();
const char* RunFailureReason();  // "" when none

// What the run did, as the summary reports it.
struct RunCounts {
  int32_t FilesInstalled;
  int64_t BytesInstalled;
  int32_t Staged[3];  // files staged complete, by FileSource
  int32_t NotFetched;
  int32_t NotReplaced;
  int64_t FetchedBytes;
  int64_t FullBytes;
};
RunCounts CurrentRunCounts();

// The log's last line: outcome, files and bytes installed and from where,
// what failed and why. Always terminated within capacity.
void FormatRunSummary(char* buffer, int32_t capacity);
// The text of the closing message of a failed run; logPath (may be null or
// empty) is where the diagnostic log is written.
void FormatFailureText(char* buffer, int32_t capacity, const char* logPath);

// A launch line of exactly this text (ASCII case ignored) is replaced by the
// desktop shortcut's path once the shortcuts are made.
extern const char kLaunchMarker[];  // "link"

// Whether the shutdown may open this launch line: never an empty one, and
// never the preset marker that no shortcut replaced (the shell would look
// for a program of that name in the current folder).
bool LaunchLineMayOpen(const char* line);

// Writes the summary as the log's last line and gives the exit code.
int32_t EndRun();

// Back to the start-up state (tests run many outcomes in one process).
void ResetRunOutcome();
