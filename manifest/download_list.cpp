// Storage of the download list.
#include "manifest/download_list.h"

#include <stdlib.h>

DownloadItem* DownloadList;
int32_t DownloadCount;
bool ManifestFound;

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
