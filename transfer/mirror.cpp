// The mirror workers' shared walk: each takes, under TransferLock, the next
// pending item its site has not tried, and records the outcome of its
// attempt under the lock.
#include "transfer/mirror.h"

#include "config/sites.h"
#include "manifest/download_list.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"

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
  DiagLog("mirror: %.63s %s", item.Name, done ? "done" : "back to pending");
}

