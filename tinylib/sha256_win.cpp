// SHA-256 through CNG (bcrypt.dll, Windows Vista and later). The hash object
// lives in a buffer of ours, sized by the provider, because Vista does not
// allocate it itself.
#include "tinylib/sha256.h"

#include "tinylib/cng_win.h"

// Members end in reverse order: the hash before its buffer and provider.
struct Sha256::Platform {
  CngAlgorithm Algorithm;
  struct Buffer {
    UCHAR* Bytes = nullptr;
    ULONG Length = 0;
    ~Buffer() { delete[] Bytes; }
  } Object;
  CngHash Hash;

  bool Open() {
    if (!Algorithm.Open(BCRYPT_SHA256_ALGORITHM)) return false;
    ULONG length = 0;
    ULONG written = 0;
    if (BCryptGetProperty(Algorithm.Handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&length),
                          sizeof length, &written, 0) != 0 || length == 0) {
      return false;
    }
    Object.Bytes = new UCHAR[length];
    Object.Length = length;
    return Object.Bytes != nullptr;
  }
};

Sha256::~Sha256() { delete State; }

bool Sha256::Begin() {
  if (State == nullptr) {
    Platform* p = new Platform;
    if (p == nullptr) return false;
    if (!p->Open()) {
      delete p;
      return false;
    }
    State = p;
  }
  State->Hash.Close();
  if (BCryptCreateHash(State->Algorithm.Handle, &State->Hash.Handle, State->Object.Bytes,
                       State->Object.Length, nullptr, 0, 0) != 0) {
    State->Hash.Handle = nullptr;
    return false;
  }
  return true;
}

bool Sha256::Update(const void* data, int32_t count) {
  if (State == nullptr || State->Hash.Handle == nullptr) return false;
  if (count < 0 || BCryptHashData(State->Hash.Handle, static_cast<PUCHAR>(const_cast<void*>(data)),
                                  static_cast<ULONG>(count), 0) != 0) {
    State->Hash.Close();
    return false;
  }
  return true;
}

bool Sha256::Finish(uint8_t digest[kSha256Length]) {
  if (State == nullptr || State->Hash.Handle == nullptr) return false;
  bool ok = BCryptFinishHash(State->Hash.Handle, digest, kSha256Length, 0) == 0;
  State->Hash.Close();
  return ok;
}
