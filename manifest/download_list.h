// The download list: one record per file to fetch, in manifest order, shared
// by the installer job and the mirror workers (State and Received under
// TransferLock while workers run).
#pragma once

#include <stdint.h>

enum { kItemPending = 0, kItemDone = 1, kItemInProgress = 2 };
enum { kItemNameCapacity = 64 };

struct DownloadItem {
  char Name[kItemNameCapacity];  // relative to InstallDir, '\' separated
  int32_t Size;
  uint32_t Stamp;              // DOS date (high 16 bits) and time (low 16 bits)
  volatile int32_t State;      // kItemPending, kItemDone or kItemInProgress
  volatile int32_t Received;   // bytes written by the current mirror attempt
};

extern DownloadItem* DownloadList;
extern int32_t DownloadCount;
// Whether the last BuildDownloadList got any manifest text: an empty list
// from a manifest means "up to date", without one it means "no list".
extern bool ManifestFound;

// Reads the manifest from the first source that gives text (ManifestUrl,
// the .ver file beside the program, the session), registers its sites and
// fills DownloadList with what is missing or out of date; sums BytesTotal.
void BuildDownloadList();

// Sum of Received over the list, read without the lock (progress only).
int32_t SumReceived();
// Releases the list (shutdown, and tests).
void FreeDownloadList();

// True when a local file of this size and DOS stamp exists (size 0: when it
// exists at all).
bool IsUpToDate(const char* path, int32_t size, uint32_t stamp);
// Reads at most 100000 bytes of the file into buffer in one read: the count,
// 0 when the file cannot be opened, -1 when the read fails.
int32_t ReadFileToBuffer(const char* path, char* buffer);
