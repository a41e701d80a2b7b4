// Owners of CNG (bcrypt.dll) handles: each closes its handle once, at the end
// of its scope.
#pragma once

#include <windows.h>
#include <bcrypt.h>

struct CngAlgorithm {
  BCRYPT_ALG_HANDLE Handle = nullptr;
  CngAlgorithm() = default;
  CngAlgorithm(const CngAlgorithm&) = delete;
  CngAlgorithm& operator=(const CngAlgorithm&) = delete;
  ~CngAlgorithm() {
    if (Handle != nullptr) BCryptCloseAlgorithmProvider(Handle, 0);
  }
  bool Open(LPCWSTR algorithm) {
    if (BCryptOpenAlgorithmProvider(&Handle, algorithm, nullptr, 0) == 0) return true;
    Handle = nullptr;
    return false;
  }
};

struct CngHash {
  BCRYPT_HASH_HANDLE Handle = nullptr;
  CngHash() = default;
  CngHash(const CngHash&) = delete;
  CngHash& operator=(const CngHash&) = delete;
  ~CngHash() { Close(); }
  void Close() {
    if (Handle != nullptr) BCryptDestroyHash(Handle);
    Handle = nullptr;
  }
};

struct CngKey {
  BCRYPT_KEY_HANDLE Handle = nullptr;
  CngKey() = default;
  CngKey(const CngKey&) = delete;
  CngKey& operator=(const CngKey&) = delete;
  ~CngKey() {
    if (Handle != nullptr) BCryptDestroyKey(Handle);
  }
};
