// Fuzz target: a signature file from a hostile server, read and judged.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/signature_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that ASan sees any read past the given length.
  char* text = static_cast<char*>(malloc(size ? size : 1));
  if (size > 0) memcpy(text, data, size);
  ReleaseSignature sig;
  SignatureTextResult result = ParseSignatureText(text, static_cast<int32_t>(size), &sig);
  if (result == kSignatureTextOk) {
    // What the parser reports must hold for the bytes it was given.
    if (sig.SignedLength <= 0 || static_cast<size_t>(sig.SignedLength) >= size ||
        memcmp(text + sig.SignedLength, "signature ", 10) != 0 || text[sig.SignedLength - 1] != '\n' ||
        sig.Serial == 0) {
      abort();
    }
    uint8_t digest[kReleaseDigestLength] = {0};
    ReleaseFacts facts = {true, result, &sig, true, digest, 0, 0};
    if (JudgeRelease(facts) == kReleaseOk && memcmp(digest, sig.ManifestDigest, sizeof digest) != 0) abort();
  }
  free(text);
  return 0;
}
