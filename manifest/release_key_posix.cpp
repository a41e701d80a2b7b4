// ECDSA P-256 verification through OpenSSL's libcrypto, the native
// counterpart of the CNG check.
#include "manifest/release_key.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <string.h>

namespace {

struct PkeyContext {
  EVP_PKEY_CTX* Context = nullptr;
  ~PkeyContext() { EVP_PKEY_CTX_free(Context); }
};
struct Pkey {
  EVP_PKEY* Key = nullptr;
  ~Pkey() { EVP_PKEY_free(Key); }
};
struct DigestContext {
  EVP_MD_CTX* Context = EVP_MD_CTX_new();
  ~DigestContext() { EVP_MD_CTX_free(Context); }
};
struct EcdsaSignature {
  ECDSA_SIG* Sig = ECDSA_SIG_new();
  ~EcdsaSignature() { ECDSA_SIG_free(Sig); }
};

// OpenSSL verifies the DER form; CNG and the signature file hold r||s.
int32_t ToDer(const uint8_t* rs, uint8_t* der, int32_t capacity) {
  EcdsaSignature sig;
  if (sig.Sig == nullptr) return -1;
  BIGNUM* r = BN_bin2bn(rs, kReleaseSignatureLength / 2, nullptr);
  BIGNUM* s = BN_bin2bn(rs + kReleaseSignatureLength / 2, kReleaseSignatureLength / 2, nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.Sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return -1;
  }
  if (i2d_ECDSA_SIG(sig.Sig, nullptr) > capacity) return -1;
  unsigned char* out = der;
  return i2d_ECDSA_SIG(sig.Sig, &out);
}

}  // namespace

bool VerifySignatureWithKey(const uint8_t key[kReleaseKeyLength], const void* message,
                            int32_t length, const uint8_t* signature, int32_t signatureLength) {
  if (signatureLength != kReleaseSignatureLength || length < 0) return false;
  uint8_t point[1 + kReleaseKeyLength];
  point[0] = 0x04;  // uncompressed
  memcpy(point + 1, key, kReleaseKeyLength);
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end(),
  };
  PkeyContext keyContext;
  keyContext.Context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  Pkey publicKey;
  if (keyContext.Context == nullptr || EVP_PKEY_fromdata_init(keyContext.Context) != 1 ||
      EVP_PKEY_fromdata(keyContext.Context, &publicKey.Key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return false;
  }
  uint8_t der[80];
  int32_t derLength = ToDer(signature, der, sizeof der);
  if (derLength <= 0) return false;
  DigestContext digest;
  return digest.Context != nullptr &&
         EVP_DigestVerifyInit(digest.Context, nullptr, EVP_sha256(), nullptr, publicKey.Key) == 1 &&
         EVP_DigestVerify(digest.Context, der, static_cast<size_t>(derLength),
                          static_cast<const unsigned char*>(message), static_cast<size_t>(length)) == 1;
}
