// The download list: built from the parsed manifest, keeping every selected
// file that is missing or out of date.
#include "manifest/download_list.h"

#include <stdlib.h>
#include <string.h>

#include "config/sites.h"
#include "runtime/progress.h"
#include "tinylib/diaglog.h"
#include "tinylib/text.h"

DownloadItem* DownloadList;
int32_t DownloadCount;

static const int32_t kLargestTotal = 0x7FFFFFFF;

int32_t SumReceived() {
  int32_t sum = 0;
  for (int32_t i = 0; i < DownloadCount; i++) sum += DownloadList[i].Received;
  return sum;
}

void FreeDownloadList() {
  free(DownloadList);
  DownloadList = nullptr;
  DownloadCount = 0;
}

namespace {

// What the sink keeps while the parser hands over entries.
struct ListBuilder {
  UpToDateCheck UpToDate;
  bool RequireHashes;
  int32_t Unhashed;       // entries refused for want of a hash
  int32_t Capacity;       // records allocated
  int32_t UpToDateCount;  // entries already present
  int64_t Total;          // sizes listed, not capped
};

bool ReserveItems(void* context, int32_t lineCount) {
  ListBuilder* builder = static_cast<ListBuilder*>(context);
  if (lineCount <= 0) return true;
  DownloadList = static_cast<DownloadItem*>(malloc(sizeof(DownloadItem) * lineCount));
  if (DownloadList == nullptr) {
    DiagLog("manifest: no memory for %d records; nothing listed", static_cast<int>(lineCount));
    return false;
  }
  builder->Capacity = lineCount;
  return true;
}

void AddItem(void* context, const ManifestEntry& entry, const char* localPath) {
  ListBuilder* builder = static_cast<ListBuilder*>(context);
  if (builder->RequireHashes && !entry.HasHash) {
    DiagLog("manifest: %s has no hash; refused", entry.Name);
    builder->Unhashed++;
    return;
  }
  if (builder->UpToDate(localPath, entry.Size, entry.Stamp)) {
    DiagLog("manifest: up to date: %s", entry.Name);
    builder->UpToDateCount++;
    return;
  }
  // At most one entry per line, so this holds; checked so that no record is
  // ever written past the block.
  if (DownloadCount >= builder->Capacity) return;
  DownloadItem& item = DownloadList[DownloadCount];
  PutText(item.Name, entry.Name);
  item.Size = entry.Size;
  item.Stamp = entry.Stamp;
  item.HasHash = entry.HasHash;
  memcpy(item.Hash, entry.Hash, sizeof item.Hash);
  item.State = kItemPending;
  item.Received = 0;
  DownloadCount++;
  builder->Total += entry.Size;
  DiagLog("manifest: listed %s, %d bytes", entry.Name, static_cast<int>(entry.Size));
}

void AddManifestSite(void*, char* line) { AddSite(line); }

}  // namespace

int32_t ListManifestText(char* text, int32_t length, bool mayBeCut,
                         const ManifestSettings& settings, UpToDateCheck upToDate,
                         bool requireHashes) {
  FreeDownloadList();
  ListBuilder builder = {upToDate, requireHashes, 0, 0, 0, 0};
  ManifestSink sink = {&builder, ReserveItems, AddItem, AddManifestSite};
  ParseManifestText(text, length, mayBeCut, settings, sink);
  if (builder.Unhashed > 0) {
    DiagLog("manifest: %d files without a hash in a signed release; nothing listed",
            static_cast<int>(builder.Unhashed));
    FreeDownloadList();
    return builder.Unhashed;
  }

  if (DownloadCount > 0) {
    // Give back the records of lines that listed nothing; a failed shrink
    // keeps the larger block, which is just as good.
    void* shrunk = realloc(DownloadList, sizeof(DownloadItem) * DownloadCount);
    if (shrunk != nullptr) DownloadList = static_cast<DownloadItem*>(shrunk);
  }

  // The total is only the 100 % mark of the display: held at the largest
  // 32-bit value rather than wrapped negative.
  int64_t listed = builder.Total < kLargestTotal ? builder.Total : kLargestTotal;
  int64_t total = static_cast<int64_t>(BytesTotal) + builder.Total;
  if (total > kLargestTotal) {
    DiagLog("manifest: total above %d bytes; shown as %d", kLargestTotal, kLargestTotal);
    total = kLargestTotal;
  }
  BytesTotal = static_cast<int32_t>(total);

  if (DownloadCount == 0)
    DiagLog("manifest: nothing to download (%d entries up to date)",
            static_cast<int>(builder.UpToDateCount));
  else
    DiagLog("manifest: %d files to download, %d bytes (%d entries up to date)",
            static_cast<int>(DownloadCount), static_cast<int>(listed),
            static_cast<int>(builder.UpToDateCount));
  return 0;
}
