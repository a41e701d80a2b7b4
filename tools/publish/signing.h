// The publisher's cryptography, all from OpenSSL's libcrypto: the SHA-256 of
// every file, and the release signature files.ver.sig (ECDSA P-256 over
// SHA-256, written as r||s) with the key pairs it is made with.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "manifest/manifest_text.h"
#include "manifest/release_key.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct evp_pkey_st EVP_PKEY;

namespace publish {

// SHA-256 over bytes given piece by piece, so that a file is hashed in the
// same pass that reads it for compression.
class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Update(const void* data, size_t size);
  // False when libcrypto failed at any step since the start.
  bool Finish(uint8_t hash[kSha256Size]);

 private:
  EVP_MD_CTX* context_;
  bool ok_;
};

std::string Sha256Hex(const uint8_t hash[kSha256Size]);

// A P-256 private key read from a PEM file.
class SigningKey {
 public:
  SigningKey() = default;
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  bool loaded() const { return key_ != nullptr; }
  // The public point X||Y, as installers compile it in.
  const uint8_t* point() const { return point_; }

 private:
  friend bool LoadSigningKey(const std::string&, SigningKey*, std::string*);
  friend bool SignBytes(const SigningKey&, const std::string&, uint8_t*, std::string*);
  EVP_PKEY* key_ = nullptr;
  uint8_t point_[kReleaseKeyLength] = {};
};

// Reads an unencrypted PEM private key (PKCS#8 or EC) of the curve P-256
// from a regular file (anything else is refused at once, never waited on).
// Any other key, a public key, an unreadable file, or a key file group or
// others may read (as ssh refuses one) is refused with a reason.
bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error);

// ECDSA P-256 over SHA-256 of message, as r||s (each 32 big-endian bytes,
// zero-padded on the left).
bool SignBytes(const SigningKey& key, const std::string& message,
               uint8_t signature[kReleaseSignatureLength], std::string* error);

// What goes into files.ver.sig besides the manifest's hash.
struct SignatureFields {
  uint32_t serial = 1;
  bool hasExpiry = false;
  int64_t expiry = 0;  // seconds since 1970 UTC, whole seconds
};

// The text of files.ver.sig for the manifest bytes, LF line ends. It is
// read back with the installer's parser and its signature verified with the
// key's public point before it is returned.
bool SignatureFileText(const SigningKey& key, const std::string& manifest,
                       const SignatureFields& fields, std::string* text, std::string* error);

// True when text is a files.ver.sig that reads as installers read it and
// whose signature the key's public point verifies.
bool SignatureVerifies(const SigningKey& key, const std::string& text);

// "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcStampText(int64_t seconds);

// Makes a fresh P-256 key pair: PREFIX-private.pem (PKCS#8, mode 0600) and
// PREFIX-public.pem (SubjectPublicKeyInfo). Never overwrites a file: an
// existing one of either name is an error and nothing is written.
bool GenerateKeyPair(const std::string& prefix, std::string* privatePath,
                     std::string* publicPath, std::string* error);

}  // namespace publish
