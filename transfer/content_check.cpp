// The download content check.
#include "transfer/content_check.h"

#include <string.h>

#include "manifest/download_list.h"
#include "tinylib/diaglog.h"

ContentCheck::ContentCheck() : active_(false), failed_(false), verdict_(kContentUnchecked) {
  memset(expected_, 0, sizeof expected_);
  memset(digest_, 0, sizeof digest_);
}

void ContentCheck::Start(bool hasHash, const uint8_t* expected) {
  active_ = hasHash && expected != nullptr;
  failed_ = false;
  verdict_ = kContentUnchecked;
  memset(digest_, 0, sizeof digest_);
  if (!active_) return;
  memcpy(expected_, expected, sizeof expected_);
  failed_ = !hash_.Begin();
}

void ContentCheck::Start(const DownloadItem& item) { Start(item.HasHash, item.Hash); }

void ContentCheck::Add(const void* bytes, int32_t count) {
  if (!active_ || failed_ || count <= 0) return;
  if (!hash_.Update(bytes, count)) failed_ = true;
}

ContentVerdict ContentCheck::Finish() {
  if (!active_) return verdict_;
  active_ = false;
  if (failed_ || !hash_.Finish(digest_)) {
    failed_ = true;
    verdict_ = kContentHashFailed;
  } else {
    verdict_ = memcmp(digest_, expected_, sizeof digest_) == 0 ? kContentMatches : kContentDiffers;
  }
  return verdict_;
}

void LogContentRefused(const char* name, const char* source, const ContentCheck& check,
                       ContentVerdict verdict) {
  if (verdict == kContentHashFailed) {
    DiagLog("verify: %.63s from %s: the SHA-256 could not be computed; not taken", name, source);
    return;
  }
  char expected[kSha256HexCapacity];
  char got[kSha256HexCapacity];
  FormatSha256Hex(check.Expected(), expected);
  FormatSha256Hex(check.Digest(), got);
  DiagLog("verify: %.63s from %s: SHA-256 %s, the manifest lists %s; not taken", name, source,
          got, expected);
}
