// Mirror workers: each takes, under TransferLock, the next pending item its
// site has not tried, streams the object through an inflater into the
// install folder, and records the outcome under the lock. Network and file
// calls are never made with the lock held.
#include "transfer/mirror.h"

#include <windows.h>

#include "app/outcome.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "manifest/mirror_name.h"
#include "manifest/sites.h"
#include "tinylib/diaglog.h"
#include "tinylib/tinyzip.h"
#include "transfer/istream.h"
#include "transfer/ostream.h"

void StartMirrorWorkers() {
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
      if (!StartWorker(MirrorWorker, site)) {
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

unsigned long PELLINOR_THREAD_CALL MirrorWorker(void* parameter) {
  TSiteInfo* site = static_cast<TSiteInfo*>(parameter);
  DiagLog("mirror: worker %lu for %s starts", GetCurrentThreadId(), site->Url);
  RunSite(site, DownloadFromSite);
  DiagLog("mirror: worker %lu for %s ends", GetCurrentThreadId(), site->Url);
  // Counted in by StartMirrorWorkers; counting out is the last thing done.
  LockedAdd(&ActiveWorkers, -1);
  return 0;
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
      Sleep(kPickWaitMs);
    } else {
      return;
    }
  }
}

int32_t PickItem(TSiteInfo* site) {
  if (DownloadCount <= 0) return kPickStop;
  int32_t result = kPickStop;
  LockTransfer();
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
  UnlockTransfer();
  return result;
}

bool MirrorUrl(char* buffer, const TSiteInfo& site, const DownloadItem& item) {
  return MirrorUrl(buffer, site, item.Stamp, item.Size, item.Name,
                   InstallSettings.InstallMode);
}

bool ReceiveItem(TBaseStream& source, DownloadItem& item) {
  int32_t inflated;
  bool created;
  bool sealed = false;
  {
    TOStream sink(item);
    inflated = InflateStream(source, sink);
    created = sink.Created();
    if (inflated != item.Size) sink.KeepUnstamped();
    else sealed = sink.Seal();
  }  // the file is sealed and closed here, before the item can count as done
  DiagLog("mirror: %.63s inflated %d of %d bytes, %d written%s", item.Name,
          static_cast<int>(inflated), static_cast<int>(item.Size),
          static_cast<int>(item.Received), created ? "" : ", no file");
  // A stream that failed its check or ended early is not taken even when
  // the byte count happens to match, and a Size 0 item needs its empty file.
  return created && inflated == item.Size && sealed;
}

void EndAttempt(DownloadItem& item, bool complete) {
  LockTransfer();
  bool done = complete && item.Received == item.Size;
  if (done) {
    item.State = kItemDone;
    NoteFileStaged(kSourceMirror);
  } else {
    item.State = kItemPending;
    item.Received = 0;
  }
  UnlockTransfer();
  DiagLog("mirror: %.63s %s", item.Name, done ? "done" : "back to pending");
}

void DownloadFromSite(TSiteInfo* site, int32_t index) {
  DownloadItem& item = DownloadList[index];
  char url[kMirrorUrlCapacity];
  bool complete = false;
  if (!MirrorUrl(url, *site, item)) {
    // A cut URL would fetch some other object; the other sources may do.
    DiagLog("mirror: site %s item %d %.63s: URL over %d characters, not fetched", site->Url,
            static_cast<int>(index), item.Name, kMirrorUrlCapacity - 1);
  } else {
    DiagLog("mirror: site %s item %d %.63s: %s", site->Url, static_cast<int>(index), item.Name,
            url);
    TIStream source(url);
    if (source.IsOpen())
      complete = ReceiveItem(source, item);
    else
      DiagLog("mirror: cannot open %s", url);
  }
  EndAttempt(item, complete);
}
