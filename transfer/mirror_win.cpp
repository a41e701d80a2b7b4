// The Windows half of the mirror workers: starting them, and one attempt
// that streams an object over HTTP through an inflater into the install
// folder. Network and file calls are never made with the lock held.
#include "transfer/mirror.h"

#include <windows.h>

#include "config/settings.h"
#include "config/sites.h"
#include "manifest/download_list.h"
#include "manifest/mirror_name.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"
#include "tinylib/tinyzip.h"
#include "transfer/delta.h"
#include "transfer/istream.h"
#include "transfer/ostream.h"

unsigned long PELLINOR_THREAD_CALL MirrorWorker(void* parameter) {
  TSiteInfo* site = static_cast<TSiteInfo*>(parameter);
  DiagLog("mirror: worker %lu for %s starts", GetCurrentThreadId(), site->Url);
  RunSite(site, DeltaOrWholeFromSite);
  DiagLog("mirror: worker %lu for %s ends", GetCurrentThreadId(), site->Url);
  // Counted in by StartMirrorWorkers; counting out is the last thing done.
  LockedAdd(&ActiveWorkers, -1);
  return 0;
}

bool MirrorUrl(char* buffer, const TSiteInfo& site, const DownloadItem& item) {
  return MirrorUrl(buffer, site, item.Stamp, item.Size, item.Name,
                   InstallSettings.InstallMode);
}

bool ReceiveItem(TBaseStream& source, DownloadItem& item, const char* from) {
  int32_t inflated;
  bool created;
  bool sealed = false;
  {
    TOStream sink(item, from);
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
      complete = ReceiveItem(source, item, url);
    else
      DiagLog("mirror: cannot open %s", url);
  }
  EndAttempt(item, complete);
}
