#include "tinylib/sha256.h"

bool Sha256Of(const void* data, int32_t count, uint8_t digest[kSha256Length]) {
  Sha256 hash;
  return hash.Begin() && hash.Update(data, count) && hash.Finish(digest);
}
