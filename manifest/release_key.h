// The publisher's key and the check of a signed manifest against it.
//
// A build trusts at most one key, compiled in from the PEM file named by the
// CMake option PELLINOR_RELEASE_KEY. A keyless build requires no signature.
#pragma once

#include <stdint.h>

#include "manifest/signature_text.h"

// The curve point X||Y, 32 big-endian bytes each.
enum { kReleaseKeyLength = 64 };

// The key data, defined by an object of its own that each program links
// (generated from the key at configure time; see cmake/ReleaseKey.cmake).
extern const bool kHaveReleaseKey;
extern const uint8_t kReleaseKey[kReleaseKeyLength];

// True when signature (r||s, kReleaseSignatureLength bytes) is an ECDSA
// P-256 signature with SHA-256 over message by the key. A key that is not a
// point of the curve verifies nothing.
bool VerifySignatureWithKey(const uint8_t key[kReleaseKeyLength], const void* message,
                            int32_t length, const uint8_t* signature, int32_t signatureLength);

// The same with the compiled-in key; false in a keyless build.
bool VerifyReleaseSignature(const void* message, int32_t length, const uint8_t* signature,
                            int32_t signatureLength);

// Everything a downloaded manifest goes through when the build has a key:
// sigText is files.ver.sig as received (null when none came), manifestDigest
// the SHA-256 of the files.ver bytes. On kReleaseOk, *accepted holds the
// record (its Serial is what the commit remembers).
ReleaseVerdict CheckReleaseManifest(const uint8_t key[kReleaseKeyLength], const char* sigText,
                                    int32_t sigLength, const uint8_t manifestDigest[kReleaseDigestLength],
                                    int64_t now, uint32_t highestSerial, ReleaseSignature* accepted);
