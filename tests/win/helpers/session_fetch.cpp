// Fetches files from a session host into a folder with the installer's own
// session client and commit, without the installer around it, and times the
// transfer.
//
//   session_fetch HOST:PORT DIR NAME=SIZE,STAMP...
//
// Prints one line per file ("NAME STATE") and then
// "total BYTES bytes in MS ms, MBPS MB/s; wire BYTES bytes, MBPS MB/s" (file
// bytes written, then bytes received). Exit code 0 when every file
// was fetched, 1 when one was not, 2 on bad usage or a failed connect.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "app/progress.h"
#include "app/run_control.h"
#include "config/settings.h"
#include "install/commit.h"
#include "manifest/download_list.h"
#include "tinylib/text.h"
#include "transfer/session.h"

// One argument NAME=SIZE,STAMP into item; false when it is malformed.
static bool ParseItem(const char* text, DownloadItem* item) {
  const char* equal = FindCharFirst(text, '=');
  if (equal == nullptr || equal == text || equal - text >= kItemNameCapacity) return false;
  PutChars(item->Name, text, static_cast<int>(equal - text));
  const char* cursor = equal + 1;
  item->Size = static_cast<int32_t>(ReadDecimal(cursor));
  if (*cursor != ',') return false;
  cursor++;
  item->Stamp = ReadDecimal(cursor);
  item->State = kItemPending;
  item->Received = 0;
  return *cursor == 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: session_fetch HOST:PORT DIR NAME=SIZE,STAMP...\n");
    return 2;
  }
  if (!InitTransfer()) return 2;
  const char* colon = FindCharLast(argv[1], ':');
  if (colon == nullptr || !CopyTextCut(InstallSettings.HostName, kPathCapacity, argv[1])) return 2;
  InstallSettings.HostName[colon - argv[1]] = 0;
  InstallSettings.Port = static_cast<int32_t>(DecimalOf(colon + 1));
  if (!CopyTextCut(InstallSettings.InstallDir, kPathCapacity - 1, argv[2])) return 2;
  EnsureBackslash(InstallSettings.InstallDir);

  DownloadCount = argc - 3;
  DownloadList = static_cast<DownloadItem*>(calloc(DownloadCount + 1, sizeof(DownloadItem)));
  for (int i = 0; i < DownloadCount; i++) {
    if (!ParseItem(argv[i + 3], &DownloadList[i])) {
      fprintf(stderr, "session_fetch: bad item %s\n", argv[i + 3]);
      return 2;
    }
    BytesTotal += DownloadList[i].Size;
  }

  // The folder and its staging place, as the installer's job makes them
  // before any download.
  CreateDirectoryA(InstallSettings.InstallDir, nullptr);
  PrepareUpdate();
  if (ConnectSession() != 0) {
    printf("connect failed\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  Phase = 1;
  for (int i = 0; i < DownloadCount; i++) DownloadOverSession(DownloadList[i]);
  QueryPerformanceCounter(&end);
  CloseSession();

  int failed = 0;
  for (int i = 0; i < DownloadCount; i++) {
    printf("%s %d\n", DownloadList[i].Name, static_cast<int>(DownloadList[i].State));
    if (DownloadList[i].State != kItemDone) failed++;
  }
  // Staged files move into place only when all arrived, as in the installer.
  if (failed == 0) {
    failed = CommitStagedItems();
    RemoveStagingFolder(InstallSettings.InstallDir, true);
  }
  double ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
              static_cast<double>(frequency.QuadPart);
  double bytes = static_cast<double>(BytesDone);
  double wire = static_cast<double>(static_cast<uint32_t>(BytesReceived));
  printf("total %.0f bytes in %.0f ms, %.2f MB/s; wire %.0f bytes, %.2f MB/s\n", bytes, ms,
         ms > 0 ? bytes / 1e6 / (ms / 1000.0) : 0.0, wire,
         ms > 0 ? wire / 1e6 / (ms / 1000.0) : 0.0);
  fflush(stdout);
  return failed == 0 ? 0 : 1;
}
