// SHA-256 from the system's own cryptography (CNG on Windows, libcrypto on
// Linux): nothing of the algorithm is written here.
//
//   Sha256 hash;
//   if (!hash.Begin()) ...;           // every call answers false on failure
//   hash.Update(bytes, count); ...    // as the bytes pass by
//   hash.Finish(digest);              // then Begin again for the next one
#pragma once

#include <stdint.h>

enum { kSha256Length = 32 };

class Sha256 {
 public:
  Sha256() : State(nullptr) {}
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Starts a digest, dropping one in progress.
  bool Begin();
  // False without a Begin, or when the system fails; the digest is then lost.
  bool Update(const void* data, int32_t count);
  // Writes the digest and ends it; false without a Begin.
  bool Finish(uint8_t digest[kSha256Length]);

 // The system's handles, defined by the _win/_posix file.
  struct Platform;

 private:
  Platform* State;
};

// The digest of one buffer.
bool Sha256Of(const void* data, int32_t count, uint8_t digest[kSha256Length]);
