// Environment edge for Windows.
#include <windows.h>

#include "config/config.h"

int32_t ReadEnvironmentValue(const char* name, char* buffer, int32_t capacity) {
  if (capacity <= 0) return 0;
  return static_cast<int32_t>(GetEnvironmentVariableA(name, buffer, static_cast<DWORD>(capacity)));
}
