// Environment edge for the native build, with the results of
// GetEnvironmentVariableA.
#include <stdlib.h>
#include <string.h>

#include "config/config.h"

int32_t ReadEnvironmentValue(const char* name, char* buffer, int32_t capacity) {
  const char* value = getenv(name);
  if (value == nullptr || capacity <= 0) return 0;
  size_t length = strlen(value);
  if (length >= static_cast<size_t>(capacity)) return static_cast<int32_t>(length + 1);
  memcpy(buffer, value, length + 1);
  return static_cast<int32_t>(length);
}
