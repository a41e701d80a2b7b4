// InstallSettings: the one global record that configuration fills and the
// rest of the program reads. Capacities include the terminator.
#pragma once

#include <stdint.h>

#include "tinylib/text.h"  // kPathCapacity

enum {
  kLanguageCapacity = 64,
  kDisplayNameCapacity = 64,
  kArgTableCapacity = 16,
};

// InstallMode values.
enum { kModePlain = 0, kModeAzureKeyword = 1, kModeHosted = 2 };

struct InstallSettingsRecord {
  char HostName[kPathCapacity];
  int32_t Port;
  char InstallDir[kPathCapacity];
  char ManifestUrl[kPathCapacity];
  char CommandLineCopy[kPathCapacity];
  char LaunchLine[kPathCapacity];
  char ParamsCode[kPathCapacity];
  char Language[kLanguageCapacity];
  char DisplayName[kDisplayNameCapacity];
  int32_t EmbeddedConfig;
  uint8_t SectionSet;
  int32_t InstallMode;
  uint8_t FinalizeInstall;
  uint8_t SaasMode;
  uint8_t ErpMode;
  uint8_t UninstallRequested;
  uint8_t Quiet;  // keyword "quiet": no message box, ever
};

extern InstallSettingsRecord InstallSettings;

// Slot 0 is the program's own path; the rest are arguments. Entries point
// into CommandLineCopy or into the copy of the embedded arguments.
extern char* ArgTable[kArgTableCapacity];
extern int32_t ArgCount;

// Puts every field back to its default (Tokenize does so first; tests run
// many configurations in one process). Until then the record is all zero.
void ResetInstallSettings();
