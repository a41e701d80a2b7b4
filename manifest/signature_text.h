// "files.ver.sig": the detached signature of a release manifest, as text.
//
//   format 1
//   serial 7
//   expires 2027-01-07T00:00:00Z      (optional)
//   sha256 <64 lowercase hex digits: SHA-256 of the exact bytes of files.ver>
//   signature <128 lowercase hex digits: ECDSA P-256 r||s>
//
// Lines end in LF or CR LF. The signature covers the bytes from the start of
// the text up to and including the line end before "signature ". This half
// only reads the text; checking the signature and deciding whether the
// release is acceptable are separate steps (release_key.h, JudgeRelease).
#pragma once

#include <stdint.h>

enum {
  kSignatureTextLimit = 4096,  // a longer text is refused unread
  kReleaseDigestLength = 32,   // SHA-256
  kReleaseSignatureLength = 64,  // r||s, 32 big-endian bytes each
};

struct ReleaseSignature {
  uint32_t Serial;  // 1..4294967295
  bool HasExpiry;
  int64_t Expiry;  // seconds since 1970-01-01T00:00:00Z; 0 without expiry
  uint8_t ManifestDigest[kReleaseDigestLength];
  uint8_t Signature[kReleaseSignatureLength];
  int32_t SignedLength;  // the signed message is text[0 .. SignedLength)
};

enum SignatureTextResult {
  kSignatureTextOk,
  kSignatureTextTooLarge,   // over kSignatureTextLimit bytes
  kSignatureTextBadFormat,  // no "format 1" first line
  kSignatureTextBadLine,    // unknown key, order, a missing line, extra text
  kSignatureTextBadValue,   // digits, date or hex of the wrong shape
};

// Reads length bytes of text (not necessarily NUL-terminated). The record is
// filled only when the result is kSignatureTextOk.
SignatureTextResult ParseSignatureText(const char* text, int32_t length,
                                       ReleaseSignature* signature);

// A short English phrase for the log.
const char* SignatureTextResultText(SignatureTextResult result);

// "YYYY-MM-DDTHH:MM:SSZ" (exactly 20 characters, a real date and time of
// years 1970..9999) to seconds since 1970 UTC; false for anything else.
bool ParseUtcStamp(const char* text, int32_t length, int64_t* seconds);

// The verdict on a downloaded manifest when the build trusts a release key.
enum ReleaseVerdict {
  kReleaseOk,
  kReleaseUnsigned,      // no signature file came with the manifest
  kReleaseMalformed,     // the signature file is not in the format
  kReleaseBadSignature,  // not signed by the compiled-in key, or altered
  kReleaseDigestMismatch,  // files.ver is not the one that was signed
  kReleaseRollback,      // older than a release accepted here before
  kReleaseExpired,       // past its expiry date
};

struct ReleaseFacts {
  bool SignaturePresent;  // files.ver.sig was delivered
  SignatureTextResult TextResult;  // of ParseSignatureText on it
  const ReleaseSignature* Signature;  // its record; read only when TextResult is Ok
  bool SignatureValid;  // the signature over its signed part verified with the key
  const uint8_t* ManifestDigest;  // SHA-256 of the files.ver bytes received
  int64_t Now;  // seconds since 1970 UTC
  uint32_t HighestSerial;  // highest serial accepted here before; 0 = none
};

// Decides in this order: unsigned, malformed, bad signature, digest
// mismatch, rollback (a serial below HighestSerial; the same serial again is
// a re-run of the same release and passes), expired (Now at or after Expiry).
ReleaseVerdict JudgeRelease(const ReleaseFacts& facts);

const char* ReleaseVerdictText(ReleaseVerdict verdict);
