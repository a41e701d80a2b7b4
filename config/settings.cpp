#include "config/settings.h"

#include <string.h>

#include "tinylib/text.h"

InstallSettingsRecord InstallSettings;
char* ArgTable[kArgTableCapacity];
int32_t ArgCount;

static const char kDefaultDisplayName[] = "Brevane Client";
// Bit 1: manifest section 1, "CLIENT", only.
static const uint8_t kDefaultSectionSet = 0x02;

void ResetInstallSettings() {
  memset(&InstallSettings, 0, sizeof InstallSettings);
  PutText(InstallSettings.DisplayName, kDefaultDisplayName);
  InstallSettings.SectionSet = kDefaultSectionSet;
  memset(ArgTable, 0, sizeof ArgTable);
  ArgCount = 0;
}

namespace {
// The record starts with its initial values before main() runs.
struct InitialValues {
  InitialValues() { ResetInstallSettings(); }
} initialValues;
}  // namespace
