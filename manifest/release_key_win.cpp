// ECDSA P-256 verification through CNG (bcrypt.dll, Windows Vista and later).
#include "manifest/release_key.h"

#include <string.h>

#include "tinylib/cng_win.h"
#include "tinylib/sha256.h"

bool VerifySignatureWithKey(const uint8_t key[kReleaseKeyLength], const void* message,
                            int32_t length, const uint8_t* signature, int32_t signatureLength) {
  if (signatureLength != kReleaseSignatureLength || length < 0) return false;
  uint8_t digest[kSha256Length];
  if (!Sha256Of(message, length, digest)) return false;

  CngAlgorithm algorithm;
  if (!algorithm.Open(BCRYPT_ECDSA_P256_ALGORITHM)) return false;
  struct {
    BCRYPT_ECCKEY_BLOB Header;
    uint8_t Point[kReleaseKeyLength];
  } blob;
  blob.Header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.Header.cbKey = kReleaseKeyLength / 2;
  memcpy(blob.Point, key, kReleaseKeyLength);
  CngKey publicKey;
  if (BCryptImportKeyPair(algorithm.Handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &publicKey.Handle,
                          reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) != 0) {
    publicKey.Handle = nullptr;
    return false;
  }
  return BCryptVerifySignature(publicKey.Handle, nullptr, digest, sizeof digest,
                               const_cast<PUCHAR>(signature), kReleaseSignatureLength, 0) == 0;
}
