// Fuzz target: manifest text from a hostile server, through the installer's
// own list building (entries, up-to-date check, sites, total).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "config/sites.h"
#include "manifest/download_list.h"
#include "manifest/manifest_text.h"
#include "runtime/progress.h"

// Touches every byte of the path so ASan sees any overrun; about half the
// entries count as present.
static bool PresentByPath(const char* path, int32_t size, uint32_t stamp) {
  return ((strlen(path) + static_cast<size_t>(size) + stamp) & 1) != 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The parser writes a terminator one byte past the text.
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data + 1, size - 1);
  ManifestSettings settings;
  settings.SectionSet = data[0];
  settings.InstallMode = data[0] & 0x80 ? 2 : 0;
  settings.Language = data[0] & 0x40 ? "EN" : "";
  settings.InstallDir = "C:\\ProgramData\\Brevane\\Azure\\";
  BytesTotal = 0;
  ListManifestText(text, static_cast<int32_t>(size - 1), settings, PresentByPath);
  size_t touched = 0;
  for (int32_t i = 0; i < DownloadCount; i++) touched += strlen(DownloadList[i].Name);
  for (int32_t i = 0; i < SiteCount; i++) touched += strlen(SiteTable[i]->Url);
  // Names and URLs are parts of distinct lines, and the total never wraps.
  if (BytesTotal < 0 || touched >= size) abort();
  FreeDownloadList();
  ResetSiteTable();
  free(text);
  return 0;
}
