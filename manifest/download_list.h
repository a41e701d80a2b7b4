// The download list: one record per file to fetch, in manifest order, shared
// by the installer job and the mirror workers (State and Received under
// TransferLock while workers run).
#pragma once

#include <stdint.h>

#include <atomic>

#include "manifest/manifest_text.h"

enum { kItemPending = 0, kItemDone = 1, kItemInProgress = 2 };
enum { kItemNameCapacity = 64 };

struct DownloadItem {
  char Name[kItemNameCapacity];  // relative to InstallDir, '\' separated
  int32_t Size;
  uint32_t Stamp;                // DOS date (high 16 bits) and time (low 16 bits)
  bool HasHash;                  // Hash holds the SHA-256 the bytes must have
  uint8_t Hash[kSha256Size];
  std::atomic<int32_t> State;    // kItemPending, kItemDone or kItemInProgress
  std::atomic<int32_t> Received; // bytes written by the current mirror attempt
};

extern DownloadItem* DownloadList;
extern int32_t DownloadCount;

// Whether the local file of an entry is already there (IsUpToDate in the
// installer; tests pass their own).
typedef bool (*UpToDateCheck)(const char* path, int32_t size, uint32_t stamp);

// Parses the manifest text (see ParseManifestText; the text is changed in
// place and text[length] must be writable), registers its SITES lines as
// mirror sites and fills DownloadList with every selected entry that is not
// up to date; adds their sizes to BytesTotal, held at 2147483647.
//
// With requireHashes (a build that trusts a release key), a selected entry
// without a hash could be installed unverified: the first one empties the
// list, and the count of such entries is returned (0 otherwise).
int32_t ListManifestText(char* text, int32_t length, bool mayBeCut,
                         const ManifestSettings& settings, UpToDateCheck upToDate,
                         bool requireHashes = false);

// Sum of Received over the list, read without the lock (progress only).
int32_t SumReceived();
// Releases the list (shutdown, and tests).
void FreeDownloadList();
