// Fuzz target: manifest text from a hostile server.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/manifest_text.h"
#include "manifest/sites.h"

static bool Reserve(void*, int32_t) { return true; }
static void Entry(void* context, const ManifestEntry& entry, const char* path) {
  // Touch every byte the parser hands out so ASan sees any overrun.
  size_t* total = static_cast<size_t*>(context);
  *total += strlen(entry.Name) + strlen(path) + static_cast<size_t>(entry.Size & 1);
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
  size_t total = 0;
  ManifestSink sink = {&total, Reserve, Entry};
  ParseManifestText(text, static_cast<int32_t>(size - 1), (data[0] & 0x20) != 0, settings, sink);
  ResetSiteTable();
  free(text);
  return 0;
}
