// The mirror workers' start and shared walk: each takes, under TransferLock,
// the next pending item its site has not tried, and records the outcome of
// its attempt under the lock.
#include "transfer/mirror.h"

#include "config/sites.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"

void StartMirrorWorkers(WorkerEntry entry) {
  // Every site's flags first, sized to the whole list, so that no index is
  // out of reach however long the list is.
  for (int32_t s = 0; s < SiteCount; s++) SizeTriedFlags(SiteTable[s], DownloadCount);

  int32_t started = 0;
  for (int32_t s = 0; s < SiteCount; s++) {
    TSiteInfo* site = SiteTable[s];
    if (site->Threads <= 0) {
      DiagLog("mirror: site %s asks for no worker", site->Url);
      continue;
    }
    if (site->TriedCount < DownloadCount) {
      DiagLog("mirror: site %s has no tried flags; no worker", site->Url);
      continue;
    }
    int32_t t = 0;
    for (; t < site->Threads; t++) {
      // Counted before the thread exists, so the job's poll cannot see 0
      // while this worker may still take an item.
      LockedAdd(&ActiveWorkers, +1);
      if (!StartWorker(entry, site)) {
        LockedAdd(&ActiveWorkers, -1);
        break;
      }
    }
    if (t < site->Threads)
      DiagLog("mirror: site %s got %d of %d workers (no thread slot left)", site->Url,
              static_cast<int>(t), static_cast<int>(site->Threads));
    started += t;
  }
  DiagLog("mirror: %d workers started for %d sites", static_cast<int>(started),
          static_cast<int>(SiteCount));
}

void RunSite(TSiteInfo* site, SiteAttempt attempt) {
  for (;;) {
    // Nothing is held here, so a shutdown can end the worker at once rather
    // than leave it polling until the process exits.
    CheckAbort();
    int32_t index = PickItem(site);
    if (index >= 0) {
      attempt(site, index);
    } else if (index == kPickWait) {
      PauseMs(kPickWaitMs);
    } else {
      return;
    }
  }
}

int32_t PickItem(TSiteInfo* site) {
  if (DownloadCount <= 0) return kPickStop;
  int32_t result = kPickStop;
  TransferLockGuard lock;
  for (int32_t i = 0; i < DownloadCount; i++) {
    DownloadItem& item = DownloadList[i];
    if (item.State == kItemDone) continue;
    if (IsTried(site, i)) continue;
    if (item.State == kItemPending) {
      MarkTried(site, i);
      item.State = kItemInProgress;
      result = i;
      break;
    }
    // In progress at another site, and this one has not tried it: it may
    // yet come back to pending.
    result = kPickWait;
  }
  return result;
}

void EndAttempt(DownloadItem& item, bool complete) {
  bool done;
  {
    TransferLockGuard lock;
    done = complete && item.Received == item.Size;
    if (done) {
      item.State = kItemDone;
    } else {
      item.State = kItemPending;
      item.Received = 0;
    }
  }
  if (done) NoteFileStaged(kSourceMirror);
  DiagLog("mirror: %.63s %s", item.Name, done ? "done" : "back to pending");
}

