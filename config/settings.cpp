#include "config/settings.h"

#include <string.h>

#include "tinylib/text.h"

#define PELLINOR_DEFAULT_DISPLAY_NAME "Brevane Client"
// Bit 1: manifest section 1, "CLIENT", only.
static const uint8_t kDefaultSectionSet = 0x02;

const char kLaunchMarker[] = "link";

// Initial values are constant data: the program runs no static constructors.
InstallSettingsRecord InstallSettings = {
    "", 0, "", "", "", "", "", "",        // HostName .. Language
    PELLINOR_DEFAULT_DISPLAY_NAME,        // DisplayName
    0, kDefaultSectionSet, kModePlain,    // EmbeddedConfig, SectionSet, InstallMode
    0, 0, 0, 0,                           // FinalizeInstall, SaasMode, ErpMode, UninstallRequested
    0,                                    // Quiet
};
char* ArgTable[kArgTableCapacity];
int32_t ArgCount;

void ResetInstallSettings() {
  memset(&InstallSettings, 0, sizeof InstallSettings);
  PutText(InstallSettings.DisplayName, PELLINOR_DEFAULT_DISPLAY_NAME);
  InstallSettings.SectionSet = kDefaultSectionSet;
  memset(ArgTable, 0, sizeof ArgTable);
  ArgCount = 0;
}
