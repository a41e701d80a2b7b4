// The check of a download's bytes against the SHA-256 its manifest line
// lists. The digest grows as the bytes are written to the staged file, so
// that no file is read a second time; a download whose entry lists no hash
// is not checked, as before hashes existed.
#pragma once

#include <stdint.h>

#include "manifest/manifest_text.h"
#include "tinylib/sha256.h"

struct DownloadItem;

enum ContentVerdict {
  kContentUnchecked,   // the entry lists no hash
  kContentMatches,     // the bytes have the listed hash
  kContentDiffers,     // they do not: other bytes than the release's
  kContentHashFailed,  // the system could not compute the digest
};

class ContentCheck {
 public:
  ContentCheck();
  ContentCheck(const ContentCheck&) = delete;
  ContentCheck& operator=(const ContentCheck&) = delete;

  // Starts the digest for the entry's bytes (from its first byte). Nothing
  // is computed for an entry without a hash.
  void Start(bool hasHash, const uint8_t* expected);
  void Start(const DownloadItem& item);
  // The next bytes, in file order.
  void Add(const void* bytes, int32_t count);
  // Ends the digest; later calls give the same verdict until the next Start.
  ContentVerdict Finish();
  // The digest computed (valid after a Finish that did not fail).
  const uint8_t* Digest() const { return digest_; }
  const uint8_t* Expected() const { return expected_; }

 private:
  Sha256 hash_;
  bool active_;  // a hash is expected
  bool failed_;  // the system failed once: the digest is lost
  ContentVerdict verdict_;
  uint8_t expected_[kSha256Size];
  uint8_t digest_[kSha256Size];
};

// Whether a download with this verdict may be staged complete.
inline bool ContentAccepted(ContentVerdict verdict) {
  return verdict == kContentUnchecked || verdict == kContentMatches;
}

// Logs a refused download: the file, where it came from, the listed hash
// and the one its bytes have.
void LogContentRefused(const char* name, const char* source, const ContentCheck& check,
                       ContentVerdict verdict);
