// The Windows edges of configuration: the process command line and the
// embedded "INSTDATA" resource.
#include <windows.h>

#include "config/config.h"
#include "config/settings.h"
#include "tinylib/diaglog.h"

int32_t Tokenize() {
  // The first step of the sequence: the record starts from its defaults.
  ResetInstallSettings();
  return TokenizeText(GetCommandLineA());
}

void ReadEmbeddedArguments() {
  // The program's own module; the resource is RCDATA named "INSTDATA".
  HRSRC found = FindResourceA(nullptr, "INSTDATA", RT_RCDATA);
  if (found == nullptr) {
    DeriveFromFileName();
    return;
  }
  HGLOBAL loaded = LoadResource(nullptr, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) {
    DiagLog("config: INSTDATA found but not loaded (error %lu)", GetLastError());
    return;
  }
  DWORD size = SizeofResource(nullptr, found);
  // Anything near 2 GiB is refused as too long all the same.
  int32_t length = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(size);
  AddEmbeddedArguments(static_cast<const char*>(bytes), length);
}
