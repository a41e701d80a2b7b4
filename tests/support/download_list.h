// Puts a download list in place as ListManifestText would leave it, for tests
// of the modules that work on DownloadList.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "manifest/download_list.h"

namespace testsupport {

const uint32_t kListStamp = 1081037455;  // 15 March 2012 10:20:30

struct ListEntry {
  std::string name;
  int32_t size;
  uint32_t stamp = kListStamp;
  int32_t state = kItemPending;
};

// Replaces DownloadList with the entries, in order, without hashes.
inline void SetDownloadList(const std::vector<ListEntry>& entries) {
  FreeDownloadList();
  // At least one record, so that an empty list is still a valid block.
  size_t records = entries.empty() ? 1 : entries.size();
  DownloadList = static_cast<DownloadItem*>(calloc(records, sizeof(DownloadItem)));
  DownloadCount = static_cast<int32_t>(entries.size());
  for (size_t i = 0; i < entries.size(); i++) {
    DownloadItem& item = DownloadList[i];
    snprintf(item.Name, sizeof item.Name, "%s", entries[i].name.c_str());
    item.Size = entries[i].size;
    item.Stamp = entries[i].stamp;
    item.State = entries[i].state;
  }
}

}  // namespace testsupport
