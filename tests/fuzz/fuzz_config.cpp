// Fuzz target: command lines, embedded arguments and program file names.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "config/settings.h"
#include "manifest/sites.h"

static int32_t NoEnvironment(const char*, char*, int32_t) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  char* text = static_cast<char*>(malloc(size));
  memcpy(text, data + 1, size - 1);
  text[size - 1] = 0;
  ResetInstallSettings();
  switch (data[0] % 3) {
    case 0:
      TokenizeText(text);
      break;
    case 1:
      TokenizeText("C:\\Setup\\Pellinor.exe");
      AddEmbeddedArguments(text, static_cast<int32_t>(size - 1));
      break;
    default:
      TokenizeText(text);  // slot 0 is the "program path"
      DeriveFromFileName();
      break;
  }
  ExpandInstallDir(NoEnvironment);
  ResetSiteTable();
  free(text);
  return 0;
}
