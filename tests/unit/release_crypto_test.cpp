// SHA-256 and the release signature check against the system's crypto: CNG
// when this runs under Wine, libcrypto natively. The signatures come from
// OpenSSL with keys made for this build (generated/test_signed_vectors.h).
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "manifest/release_key.h"
#include "manifest/signature_text.h"
#include "test_signed_vectors.h"
#include "tinylib/sha256.h"

namespace {

std::vector<uint8_t> Bytes(const char* hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; i++) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

TEST(Sha256, KnownDigests) {
  struct Vector {
    std::string message;
    const char* digest;
  } const vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    uint8_t digest[kSha256Length];
    ASSERT_TRUE(Sha256Of(v.message.data(), static_cast<int32_t>(v.message.size()), digest));
    EXPECT_EQ(v.digest, Hex(digest, sizeof digest)) << v.message.size() << " bytes";
  }
}

TEST(Sha256, StreamedInPiecesEqualsWhole) {
  std::string message(70000, 0);
  for (size_t i = 0; i < message.size(); i++) message[i] = static_cast<char>(i * 7 + i / 251);
  uint8_t whole[kSha256Length];
  ASSERT_TRUE(Sha256Of(message.data(), static_cast<int32_t>(message.size()), whole));

  // One object hashes several streams one after another, as the installer
  // does file by file; each piece size crosses the 64-byte blocks differently.
  Sha256 hash;
  for (int32_t piece : {1, 63, 64, 65, 4096, 65536}) {
    ASSERT_TRUE(hash.Begin());
    for (size_t at = 0; at < message.size(); at += static_cast<size_t>(piece)) {
      int32_t count = static_cast<int32_t>(std::min(message.size() - at, static_cast<size_t>(piece)));
      ASSERT_TRUE(hash.Update(message.data() + at, count));
    }
    ASSERT_TRUE(hash.Update(message.data(), 0));
    uint8_t streamed[kSha256Length];
    ASSERT_TRUE(hash.Finish(streamed));
    EXPECT_EQ(Hex(whole, sizeof whole), Hex(streamed, sizeof streamed)) << "pieces of " << piece;
  }
}

TEST(Sha256, RefusesUseOutsideBeginAndFinish) {
  uint8_t digest[kSha256Length];
  Sha256 hash;
  EXPECT_FALSE(hash.Update("x", 1));
  EXPECT_FALSE(hash.Finish(digest));
  ASSERT_TRUE(hash.Begin());
  ASSERT_TRUE(hash.Update("abc", 3));
  EXPECT_FALSE(hash.Update("abc", -1));
  // A failed Update loses the digest: no partial digest is ever reported.
  EXPECT_FALSE(hash.Finish(digest));
  ASSERT_TRUE(hash.Begin());
  ASSERT_TRUE(hash.Update("abc", 3));
  ASSERT_TRUE(hash.Finish(digest));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex(digest, sizeof digest));
  EXPECT_FALSE(hash.Finish(digest));
}

TEST(ReleaseSignature, VerifiesOpenSslSignaturesAndRefusesAlterations) {
  std::vector<uint8_t> key = Bytes(kTestKeyHex);
  std::vector<uint8_t> other = Bytes(kOtherKeyHex);
  ASSERT_EQ(static_cast<size_t>(kReleaseKeyLength), key.size());
  std::vector<uint8_t> offCurve = key;
  offCurve[63] ^= 1;
  for (const SignedVector& v : kSignedVectors) {
    std::string message = v.Message;
    std::vector<uint8_t> sig = Bytes(v.SignatureHex);
    ASSERT_EQ(static_cast<size_t>(kReleaseSignatureLength), sig.size()) << message;
    int32_t length = static_cast<int32_t>(message.size());
    EXPECT_TRUE(VerifySignatureWithKey(key.data(), message.data(), length, sig.data(), 64)) << message;

    EXPECT_FALSE(VerifySignatureWithKey(other.data(), message.data(), length, sig.data(), 64)) << message;
    EXPECT_FALSE(VerifySignatureWithKey(offCurve.data(), message.data(), length, sig.data(), 64)) << message;
    EXPECT_FALSE(VerifySignatureWithKey(key.data(), message.data(), length - 1, sig.data(), 64)) << message;
    EXPECT_FALSE(VerifySignatureWithKey(key.data(), message.data(), length, sig.data(), 63)) << message;
    std::string altered = message;
    altered[0] ^= 0x20;
    EXPECT_FALSE(VerifySignatureWithKey(key.data(), altered.data(), length, sig.data(), 64)) << message;
    for (size_t at : {size_t{0}, size_t{31}, size_t{32}, size_t{63}}) {
      std::vector<uint8_t> flipped = sig;
      flipped[at] ^= 0x01;
      EXPECT_FALSE(VerifySignatureWithKey(key.data(), message.data(), length, flipped.data(), 64))
          << message << " byte " << at;
    }
    // r and s swapped, and all zero: well-sized, never valid.
    std::vector<uint8_t> swapped(sig.begin() + 32, sig.end());
    swapped.insert(swapped.end(), sig.begin(), sig.begin() + 32);
    EXPECT_FALSE(VerifySignatureWithKey(key.data(), message.data(), length, swapped.data(), 64)) << message;
    std::vector<uint8_t> zero(64, 0);
    EXPECT_FALSE(VerifySignatureWithKey(key.data(), message.data(), length, zero.data(), 64)) << message;
  }
}

struct ManifestCheck {
  const char* what;
  std::string sig;
  std::string manifest;
  bool otherKey;
  uint32_t highest;
  int64_t now;
  ReleaseVerdict expected;
};

TEST(ReleaseSignature, ChecksThePublishedPair) {
  const std::string sig = kManifestSig;
  const std::string manifest = kSignedManifest;
  const int64_t now = 1800000000;  // 2027
  std::string reserialized = sig;
  reserialized.replace(reserialized.find("serial 12"), 9, "serial 13");
  std::string unexpired = sig;
  unexpired.erase(unexpired.find("expires "), 29);
  std::string crlf;
  for (char c : sig) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string resized = manifest;
  resized.replace(resized.find("=1234,"), 6, "=1235,");

  const ManifestCheck checks[] = {
      {"genuine", sig, manifest, false, 0, now, kReleaseOk},
      {"genuine, same serial as before", sig, manifest, false, 12, now, kReleaseOk},
      {"unsigned", "", manifest, false, 0, now, kReleaseUnsigned},
      {"other key", sig, manifest, true, 0, now, kReleaseBadSignature},
      {"serial changed after signing", reserialized, manifest, false, 0, now, kReleaseBadSignature},
      {"expiry removed after signing", unexpired, manifest, false, 0, now, kReleaseBadSignature},
      {"line ends changed after signing", crlf, manifest, false, 0, now, kReleaseBadSignature},
      {"manifest size changed", sig, resized, false, 0, now, kReleaseDigestMismatch},
      {"manifest line added", sig, manifest + "extra.dll=1,2\r\n", false, 0, now, kReleaseDigestMismatch},
      {"rollback", sig, manifest, false, 13, now, kReleaseRollback},
      {"expired", sig, manifest, false, 0, 4102444799, kReleaseExpired},
      {"truncated", sig.substr(0, sig.size() - 2), manifest, false, 0, now, kReleaseMalformed},
  };
  std::vector<uint8_t> key = Bytes(kTestKeyHex);
  std::vector<uint8_t> other = Bytes(kOtherKeyHex);
  for (const ManifestCheck& c : checks) {
    uint8_t digest[kSha256Length];
    ASSERT_TRUE(Sha256Of(c.manifest.data(), static_cast<int32_t>(c.manifest.size()), digest));
    ReleaseSignature accepted;
    memset(&accepted, 0, sizeof accepted);
    ReleaseVerdict verdict = CheckReleaseManifest(
        c.otherKey ? other.data() : key.data(), c.sig.empty() ? nullptr : c.sig.data(),
        static_cast<int32_t>(c.sig.size()), digest, c.now, c.highest, &accepted);
    EXPECT_EQ(c.expected, verdict) << c.what;
    if (verdict == kReleaseOk) {
      EXPECT_EQ(12u, accepted.Serial) << c.what;
    }
  }
}

TEST(ReleaseSignature, KeyHeaderMatchesTheBuild) {
  // Test builds are keyless unless configured with a key; either way the
  // compiled-in check must not accept a signature by the test key.
  std::string message = kSignedVectors[0].Message;
  std::vector<uint8_t> sig = Bytes(kSignedVectors[0].SignatureHex);
  bool sameKey = kHaveReleaseKey && memcmp(kReleaseKey, Bytes(kTestKeyHex).data(), kReleaseKeyLength) == 0;
  EXPECT_EQ(sameKey, VerifyReleaseSignature(message.data(), static_cast<int32_t>(message.size()),
                                            sig.data(), 64));
}

}  // namespace
