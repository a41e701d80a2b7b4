#include "config/settings.h"

#include <string.h>

#include "tinylib/text.h"

#define PELLINOR_DEFAULT_DISPLAY_NAME "Brevane Client"
// Bit 1: manifest section 1, "CLIENT", only.
static const uint8_t kDefaultSectionSet = 0x02;

// Zero-filled here, so the record takes no room in the program file; the
// configuration sequence puts the defaults in first (see Tokenize).
InstallSettingsRecord InstallSettings;
char* ArgTable[kArgTableCapacity];
int32_t ArgCount;

void ResetInstallSettings() {
  memset(&InstallSettings, 0, sizeof InstallSettings);
  PutText(InstallSettings.DisplayName, PELLINOR_DEFAULT_DISPLAY_NAME);
  InstallSettings.SectionSet = kDefaultSectionSet;
  memset(ArgTable, 0, sizeof ArgTable);
  ArgCount = 0;
}
