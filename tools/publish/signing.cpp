// The publisher's cryptography through libcrypto.
#include "tools/publish/signing.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <filesystem>
#include <vector>

#include "manifest/signature_text.h"
#include "tools/common/fd.h"
#include "tools/common/temp_file.h"

namespace publish {

namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

const char kCurveName[] = "prime256v1";
const size_t kKeyFileLimit = 64 * 1024;

// The last libcrypto error as text, and the queue emptied.
std::string CryptoError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "libcrypto failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// No prompt for a pass phrase: the publisher runs unattended.
int NoPassword(char*, int, int, void*) { return -1; }

// Reads the private key file: a regular file (a FIFO or a device is refused
// without waiting on it), judged on the descriptor that is read; *mode gets
// its permissions.
bool ReadKeyFile(const std::string& path, std::string* data, mode_t* mode, std::string* error) {
  tools::UniqueFd in(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!in.valid() || fstat(in.get(), &info) != 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = tools::ReadSome(in.get(), buffer, sizeof buffer);
    if (n < 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      return false;
    }
    if (n == 0) break;
    data->append(buffer, static_cast<size_t>(n));
    if (data->size() > kKeyFileLimit) {
      *error = path + ": not a key file (over 64 KiB)";
      return false;
    }
  }
  *mode = info.st_mode;
  return true;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// Writes data to a new file at path with mode, all or nothing: a temporary
// file beside it is linked to the name, which fails when the name exists.
bool WriteNewFile(const std::string& path, const std::string& data, mode_t mode,
                  std::string* error) {
  std::filesystem::path target(path);
  std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
  tools::TempFile temp;
  tools::UniqueFd out(tools::CreateTempIn(folder, "." + target.filename().string() + ".", &temp));
  if (!out.valid()) {
    *error = "cannot create a file in " + folder + ": " + strerror(errno);
    return false;
  }
  if (fchmod(out.get(), mode) != 0 || !tools::WriteAll(out.get(), data.data(), data.size()) ||
      fsync(out.get()) != 0 || !out.CloseChecked()) {
    *error = "cannot write " + temp.path() + ": " + strerror(errno);
    return false;
  }
  if (link(temp.path().c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  return true;  // the temporary name goes with temp
}

}  // namespace

Sha256Digest::Sha256Digest() : context_(EVP_MD_CTX_new()), ok_(context_ != nullptr) {
  ok_ = ok_ && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256Digest::~Sha256Digest() { EVP_MD_CTX_free(context_); }

void Sha256Digest::Update(const void* data, size_t size) {
  if (ok_ && size > 0) ok_ = EVP_DigestUpdate(context_, data, size) == 1;
}

bool Sha256Digest::Finish(uint8_t hash[kSha256Size]) {
  unsigned int length = 0;
  ok_ = ok_ && EVP_DigestFinal_ex(context_, hash, &length) == 1 && length == kSha256Size;
  return ok_;
}

std::string Sha256Hex(const uint8_t hash[kSha256Size]) {
  char text[kSha256HexCapacity];
  FormatSha256Hex(hash, text);
  return text;
}

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
  std::string pem;
  mode_t mode = 0;
  if (!ReadKeyFile(path, &pem, &mode, error)) return false;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) {
    *error = CryptoError();
    return false;
  }
  Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr), &EVP_PKEY_free);
  ERR_clear_error();
  if (!pkey) {
    *error = path + ": not an unencrypted PEM private key";
    return false;
  }
  char group[64] = "";
  size_t groupLength = 0;
  if (!EVP_PKEY_is_a(pkey.get(), "EC") ||
      EVP_PKEY_get_utf8_string_param(pkey.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &groupLength) != 1 ||
      strcmp(group, kCurveName) != 0) {
    ERR_clear_error();
    *error = path + ": not a P-256 (prime256v1) EC key; installers verify only those";
    return false;
  }
  uint8_t point[1 + kReleaseKeyLength];
  size_t pointLength = 0;
  if (EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                      sizeof point, &pointLength) != 1 ||
      pointLength != sizeof point || point[0] != 0x04) {
    *error = path + ": cannot take the public point of the key: " + CryptoError();
    return false;
  }
  // As ssh does: a private key others may read may have been copied.
  if ((mode & 077) != 0) {
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    *error = path + ": permissions " + octal +
             " let group or others read the private key; refused (chmod 600 it, and make a "
             "new pair if it may have been copied)";
    return false;
  }
  EVP_PKEY_free(key->key_);
  key->key_ = pkey.release();
  memcpy(key->point_, point + 1, kReleaseKeyLength);
  return true;
}

bool SignBytes(const SigningKey& key, const std::string& message,
               uint8_t signature[kReleaseSignatureLength], std::string* error) {
  MdContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  size_t derLength = 0;
  if (!key.loaded() || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.key_) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &derLength,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    *error = "cannot sign: " + CryptoError();
    return false;
  }
  std::vector<unsigned char> der(derLength);
  if (EVP_DigestSign(context.get(), der.data(), &derLength,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    *error = "cannot sign: " + CryptoError();
    return false;
  }
  // libcrypto gives DER; the file holds r||s, each padded to 32 bytes (a
  // stripped leading zero would shift s into r).
  const unsigned char* read = der.data();
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &read, static_cast<long>(derLength)), &ECDSA_SIG_free);
  const int half = kReleaseSignatureLength / 2;
  if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature, half) != half ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature + half, half) != half) {
    *error = "cannot convert the signature: " + CryptoError();
    return false;
  }
  return true;
}

bool SignatureVerifies(const SigningKey& key, const std::string& text) {
  ReleaseSignature read;
  return key.loaded() &&
         ParseSignatureText(text.data(), static_cast<int32_t>(text.size()), &read) ==
             kSignatureTextOk &&
         VerifySignatureWithKey(key.point(), text.data(), read.SignedLength, read.Signature,
                                kReleaseSignatureLength);
}

std::string UtcStampText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char text[32] = "";
  if (gmtime_r(&t, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool SignatureFileText(const SigningKey& key, const std::string& manifest,
                       const SignatureFields& fields, std::string* text, std::string* error) {
  Sha256Digest digest;
  uint8_t hash[kSha256Size];
  digest.Update(manifest.data(), manifest.size());
  if (!digest.Finish(hash)) {
    *error = "cannot hash files.ver: " + CryptoError();
    return false;
  }
  std::string signedPart = "format 1\nserial " + std::to_string(fields.serial) + "\n";
  if (fields.hasExpiry) signedPart += "expires " + UtcStampText(fields.expiry) + "\n";
  signedPart += "sha256 " + Sha256Hex(hash) + "\n";
  uint8_t signature[kReleaseSignatureLength];
  if (!SignBytes(key, signedPart, signature, error)) return false;
  std::string hex;
  static const char kDigits[] = "0123456789abcdef";
  for (uint8_t byte : signature) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  std::string result = signedPart + "signature " + hex + "\n";

  // Proof that installers read it as meant and that the key verifies it.
  ReleaseSignature read;
  if (ParseSignatureText(result.data(), static_cast<int32_t>(result.size()), &read) !=
          kSignatureTextOk ||
      read.Serial != fields.serial || read.HasExpiry != fields.hasExpiry ||
      (fields.hasExpiry && read.Expiry != fields.expiry) ||
      memcmp(read.ManifestDigest, hash, kSha256Size) != 0 ||
      read.SignedLength != static_cast<int32_t>(signedPart.size()) ||
      !VerifySignatureWithKey(key.point(), result.data(), read.SignedLength, read.Signature,
                              kReleaseSignatureLength)) {
    *error = "files.ver.sig would not read back or verify as written (internal error)";
    return false;
  }
  *text = result;
  return true;
}

bool GenerateKeyPair(const std::string& prefix, std::string* privatePath,
                     std::string* publicPath, std::string* error) {
  *privatePath = prefix + "-private.pem";
  *publicPath = prefix + "-public.pem";
  for (const std::string* path : {privatePath, publicPath}) {
    struct stat info;
    if (lstat(path->c_str(), &info) == 0) {
      *error = *path + " already exists; a key is never overwritten";
      return false;
    }
  }
  Pkey pkey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  Bio privateBio(BIO_new(BIO_s_mem()), &BIO_free);
  Bio publicBio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!pkey || !privateBio || !publicBio ||
      PEM_write_bio_PrivateKey(privateBio.get(), pkey.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicBio.get(), pkey.get()) != 1) {
    *error = "cannot make a key pair: " + CryptoError();
    return false;
  }
  if (!WriteNewFile(*privatePath, BioText(privateBio.get()), 0600, error)) return false;
  if (!WriteNewFile(*publicPath, BioText(publicBio.get()), 0644, error)) {
    unlink(privatePath->c_str());  // half a pair is no use
    return false;
  }
  return true;
}

}  // namespace publish
