// SHA-256 through OpenSSL's libcrypto, so that the portable code above it
// runs in the native tests as it does on Windows.
#include "tinylib/sha256.h"

#include <openssl/evp.h>

struct Sha256::Platform {
  EVP_MD_CTX* Context;
  bool Active;  // between a successful Begin and Finish
};

Sha256::~Sha256() {
  if (State != nullptr) EVP_MD_CTX_free(State->Context);
  delete State;
}

bool Sha256::Begin() {
  if (State == nullptr) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return false;
    State = new Platform{context, false};
  }
  State->Active = EVP_DigestInit_ex(State->Context, EVP_sha256(), nullptr) == 1;
  return State->Active;
}

bool Sha256::Update(const void* data, int32_t count) {
  if (State == nullptr || !State->Active) return false;
  if (count < 0 || (count > 0 && EVP_DigestUpdate(State->Context, data, static_cast<size_t>(count)) != 1)) {
    State->Active = false;
  }
  return State->Active;
}

bool Sha256::Finish(uint8_t digest[kSha256Length]) {
  if (State == nullptr || !State->Active) return false;
  State->Active = false;
  unsigned int length = 0;
  return EVP_DigestFinal_ex(State->Context, digest, &length) == 1 && length == kSha256Length;
}
