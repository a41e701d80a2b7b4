// The run's outcome record and the texts made from it.
#include "runtime/outcome.h"

#include <atomic>

#include "tinylib/diaglog.h"
#include "tinylib/text.h"
#include "tinylib/text_builder.h"

namespace {

std::atomic<int32_t> ExitCode{kExitSuccess};
std::atomic<int32_t> NotFetched{0};
std::atomic<int32_t> NotReplaced{0};
std::atomic<int32_t> Staged[3] = {{0}, {0}, {0}};
std::atomic<int32_t> ReasonTaken{0};
std::atomic<int32_t> ReasonReady{0};
std::atomic<int32_t> Ended{0};
// Only the job moves files into place: no other writer.
int32_t FilesInstalledCount;
int64_t BytesInstalledCount;
int64_t FetchedCount;  // set once by the job after the downloads
int64_t FullCount;
char Reason[kOutcomeReasonCapacity];

void Decide(int32_t code) {
  int32_t expected = kExitSuccess;
  ExitCode.compare_exchange_strong(expected, code);
}

const char* OutcomeName(int32_t code) {
  switch (code) {
    case kExitSuccess: return "success";
    case kExitUserClosed: return "closed by the user";
    default: return "installation failed";
  }
}

}  // namespace

void NoteRunFailure(const char* what) {
  Decide(kExitInstallFailed);
  if (what == nullptr || what[0] == 0) return;
  // The first reason only; a reader at the end sees it whole.
  if (ReasonTaken.exchange(1) != 0) return;
  CopyTextCut(Reason, sizeof Reason, what);
  ReasonReady.store(1);
}

void NoteFilesNotFetched(int32_t count) {
  if (count <= 0) return;
  NotFetched += count;
  Decide(kExitInstallFailed);
}

void NoteFilesNotReplaced(int32_t count) {
  if (count <= 0) return;
  NotReplaced += count;
  Decide(kExitInstallFailed);
}

void NoteUserClosed() { Decide(kExitUserClosed); }
void NoteJobEnded() { Ended.store(1); }
bool JobEnded() { return Ended.load() != 0; }

void NoteFileStaged(FileSource source) {
  if (source >= kSourceMirror && source <= kSourceStaging) Staged[source]++;
}

void NoteFetchedBytes(int64_t fetched, int64_t full) {
  FetchedCount = fetched;
  FullCount = full;
}

void NoteFileInstalled(int64_t bytes) {
  FilesInstalledCount++;
  if (bytes > 0) BytesInstalledCount += bytes;
}

int32_t RunExitCode() { return ExitCode.load(); }
int32_t FilesNotFetched() { return NotFetched.load(); }
int32_t FilesNotReplaced() { return NotReplaced.load(); }
const char* RunFailureReason() { return ReasonReady.load() != 0 ? Reason : ""; }

RunCounts CurrentRunCounts() {
  RunCounts counts;
  counts.FilesInstalled = FilesInstalledCount;
  counts.BytesInstalled = BytesInstalledCount;
  for (int i = 0; i < 3; i++) counts.Staged[i] = Staged[i].load();
  counts.NotFetched = NotFetched.load();
  counts.NotReplaced = NotReplaced.load();
  counts.FetchedBytes = FetchedCount;
  counts.FullBytes = FullCount;
  return counts;
}

void FormatRunSummary(char* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity <= 0) return;
  int32_t code = RunExitCode();
  const char* reason = RunFailureReason();
  RunCounts counts = CurrentRunCounts();
  TextBuilder out(buffer, static_cast<size_t>(capacity));
  out.Text("run: outcome ").Number(code).Text(" (").Text(OutcomeName(code)).Text("); ");
  out.Number(counts.FilesInstalled).Text(" files installed, ").Number(counts.BytesInstalled);
  out.Text(" bytes; staged from mirrors ").Number(counts.Staged[kSourceMirror]);
  out.Text(", session ").Number(counts.Staged[kSourceSession]);
  out.Text(", reused ").Number(counts.Staged[kSourceStaging]);
  out.Text("; ").Number(counts.NotFetched).Text(" not fetched, ");
  out.Number(counts.NotReplaced).Text(" not replaced");
  out.Text("; fetched ").Number(counts.FetchedBytes).Text(" of ").Number(counts.FullBytes);
  out.Text(" bytes");
  if (reason[0] != 0) out.Text("; first failure: ").Text(reason);
}

void FormatFailureText(char* buffer, int32_t capacity, const char* logPath) {
  if (buffer == nullptr || capacity <= 0) return;
  int32_t fetched = NotFetched.load();
  int32_t replaced = NotReplaced.load();
  TextBuilder out(buffer, static_cast<size_t>(capacity));
  out.Text("Installation failed: ");
  if (fetched > 0) {
    out.Number(fetched).Text(fetched == 1 ? " file" : " files").Text(" could not be downloaded.");
  } else if (replaced > 0) {
    out.Number(replaced).Text(replaced == 1 ? " file" : " files").Text(" could not be replaced.");
  } else {
    const char* reason = RunFailureReason();
    out.Text(reason[0] != 0 ? reason : "unknown reason").Text(".");
  }
  if (logPath != nullptr && logPath[0] != 0) out.Text("\r\nDetails: ").Text(logPath);
}

int32_t EndRun() {
  char summary[kRunSummaryCapacity];
  FormatRunSummary(summary, sizeof summary);
  DiagLog("%s", summary);
  return RunExitCode();
}

const char kLaunchMarker[] = "link";

bool LaunchLineMayOpen(const char* line) {
  return line != nullptr && line[0] != 0 && !EqualNoCase(line, kLaunchMarker);
}

void ResetRunOutcome() {
  ExitCode = kExitSuccess;
  NotFetched = 0;
  NotReplaced = 0;
  for (std::atomic<int32_t>& count : Staged) count = 0;
  ReasonTaken = 0;
  ReasonReady = 0;
  Ended = 0;
  FilesInstalledCount = 0;
  BytesInstalledCount = 0;
  FetchedCount = 0;
  FullCount = 0;
  Reason[0] = 0;
}
