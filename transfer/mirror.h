// Mirror download: worker threads that fetch DownloadList items from the
// sites of SiteTable as zlib objects and inflate them into place.
//
// Each item is taken by at most one worker at a time and tried at most once
// per site; an item no site delivered whole stays pending for the session.
#pragma once

#include <stdint.h>

#include "runtime/run_control.h"
#include "manifest/mirror_name.h"

class TBaseStream;
class TSiteInfo;
struct DownloadItem;

// What PickItem gives besides an item index.
enum { kPickStop = -1, kPickWait = -2 };
// How long a worker whose site has nothing to take waits before it looks again.
enum { kPickWaitMs = 200 };

// Thread entry; the parameter is the worker's TSiteInfo. Runs the site's
// loop, then lowers ActiveWorkers as its very last action.
unsigned long PELLINOR_THREAD_CALL MirrorWorker(void* site);

// Sizes every site's tried flags to DownloadList, then starts, for each site
// in order, as many workers (entry; tests pass their own) as its Threads
// asks for while WorkerPool slots last. ActiveWorkers is raised before each
// thread starts (and lowered again when it could not start), so it never
// reads 0 while a started worker may still take an item.
void StartMirrorWorkers(WorkerEntry entry = MirrorWorker);

// One attempt at item index from site: fetch, inflate, record the outcome.
typedef void (*SiteAttempt)(TSiteInfo* site, int32_t index);

// The real attempt: the item's object on the site over HTTP.
void DownloadFromSite(TSiteInfo* site, int32_t index);

// The worker loop: pick, attempt, or wait, until there is nothing left that
// the site has not tried.
void RunSite(TSiteInfo* site, SiteAttempt attempt = DownloadFromSite);

// Under TransferLock: the first item that is pending and not yet tried by
// the site, now in progress and owned by the caller; kPickWait when none is
// pending but an item the site has not tried is in progress elsewhere;
// kPickStop when nothing is left for the site.
int32_t PickItem(TSiteInfo* site);

// The item's object URL on the site (buffer of kMirrorUrlCapacity). False,
// with an empty text, when it would not fit: that site cannot fetch it.
bool MirrorUrl(char* buffer, const TSiteInfo& site, const DownloadItem& item);

// Inflates source into the item's file. True only when the file was created
// and the source held one complete, checked zlib stream of exactly Size
// bytes, all of them written, with the SHA-256 the item lists (if any).
// from names the source in the log.
bool ReceiveItem(TBaseStream& source, DownloadItem& item, const char* from = "mirror");

// Ends an attempt under TransferLock: done when complete and Received is
// Size; otherwise pending again with Received 0, for the other sources.
void EndAttempt(DownloadItem& item, bool complete);
