// files.ver.sig as text, and the verdict on a signed release.
#include "manifest/signature_text.h"

#include <string.h>

#include "tinylib/text.h"

namespace {

// One line of the text: its content without the line end, and where the
// next line starts.
struct SigLine {
  const char* Start;
  int32_t Length;
  int32_t Next;
  bool Ended;  // by LF or CR LF; false for a last line without one
};

SigLine ReadLine(const char* text, int32_t length, int32_t at) {
  SigLine line;
  line.Start = text + at;
  const void* lf = memchr(text + at, '\n', static_cast<size_t>(length - at));
  if (lf == nullptr) {
    line.Length = length - at;
    line.Next = length;
    line.Ended = false;
    return line;
  }
  int32_t end = static_cast<int32_t>(static_cast<const char*>(lf) - text);
  line.Next = end + 1;
  line.Ended = true;
  if (end > at && text[end - 1] == '\r') end--;
  line.Length = end - at;
  return line;
}

// True when the line is "<key> <value>"; value and its length are set.
bool HasKey(const SigLine& line, const char* key, const char** value, int32_t* valueLength) {
  int32_t keyLength = static_cast<int32_t>(strlen(key));
  if (line.Length <= keyLength || memcmp(line.Start, key, static_cast<size_t>(keyLength)) != 0 ||
      line.Start[keyLength] != ' ') {
    return false;
  }
  *value = line.Start + keyLength + 1;
  *valueLength = line.Length - keyLength - 1;
  return true;
}

bool ReadHex(const char* text, int32_t length, uint8_t* out, int32_t outLength) {
  if (length != outLength * 2) return false;
  for (int32_t i = 0; i < outLength; i++) {
    int high = LowerHexValue(text[2 * i]);
    int low = LowerHexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// 1..4294967295 without leading zeros.
bool ReadSerial(const char* text, int32_t length, uint32_t* serial) {
  if (length < 1 || length > 10 || text[0] == '0') return false;
  uint64_t value = 0;
  for (int32_t i = 0; i < length; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (value > 0xFFFFFFFFull) return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

// Days from 1970-01-01 to a date of the Gregorian calendar, year >= 1970.
// Unsigned 32-bit arithmetic: no 64-bit division helpers in the program.
uint32_t DaysFromCivil(uint32_t year, uint32_t month, uint32_t day) {
  if (month <= 2) year--;
  const uint32_t era = year / 400;
  const uint32_t yearOfEra = year - era * 400;
  const uint32_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const uint32_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
  static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

bool ParseUtcStamp(const char* text, int32_t length, int64_t* seconds) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (length != 20) return false;
  for (int32_t i = 0; i < 20; i++) {
    bool ok = kShape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == kShape[i];
    if (!ok) return false;
  }
  uint32_t field[6];  // year as two pairs of digits, then month .. second
  static const uint8_t kAt[6] = {2, 5, 8, 11, 14, 17};
  for (int32_t i = 0; i < 6; i++) {
    field[i] = static_cast<uint32_t>((text[kAt[i]] - '0') * 10 + (text[kAt[i] + 1] - '0'));
  }
  const uint32_t year = static_cast<uint32_t>((text[0] - '0') * 1000 + (text[1] - '0') * 100) + field[0];
  const uint32_t month = field[1], day = field[2];
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      field[3] > 23 || field[4] > 59 || field[5] > 59) {
    return false;
  }
  *seconds = static_cast<int64_t>(DaysFromCivil(year, month, day)) * 86400 +
             static_cast<int64_t>(field[3] * 3600 + field[4] * 60 + field[5]);
  return true;
}

SignatureTextResult ParseSignatureText(const char* text, int32_t length,
                                       ReleaseSignature* signature) {
  if (length > kSignatureTextLimit) return kSignatureTextTooLarge;
  if (text == nullptr || length < 0) {
    text = "";
    length = 0;
  }

  SigLine line = ReadLine(text, length, 0);
  if (!line.Ended || line.Length != 8 || memcmp(line.Start, "format 1", 8) != 0) {
    return kSignatureTextBadFormat;
  }

  ReleaseSignature parsed;
  memset(&parsed, 0, sizeof parsed);
  const char* value;
  int32_t valueLength;

  line = ReadLine(text, length, line.Next);
  if (!line.Ended || !HasKey(line, "serial", &value, &valueLength)) return kSignatureTextBadLine;
  if (!ReadSerial(value, valueLength, &parsed.Serial)) return kSignatureTextBadValue;

  line = ReadLine(text, length, line.Next);
  if (line.Ended && HasKey(line, "expires", &value, &valueLength)) {
    if (!ParseUtcStamp(value, valueLength, &parsed.Expiry)) return kSignatureTextBadValue;
    parsed.HasExpiry = true;
    line = ReadLine(text, length, line.Next);
  }

  if (!line.Ended || !HasKey(line, "sha256", &value, &valueLength)) return kSignatureTextBadLine;
  if (!ReadHex(value, valueLength, parsed.ManifestDigest, kReleaseDigestLength)) {
    return kSignatureTextBadValue;
  }
  parsed.SignedLength = line.Next;

  line = ReadLine(text, length, line.Next);
  if (!HasKey(line, "signature", &value, &valueLength)) return kSignatureTextBadLine;
  if (!ReadHex(value, valueLength, parsed.Signature, kReleaseSignatureLength)) {
    return kSignatureTextBadValue;
  }
  // One final line end at most; anything after it could be a second,
  // unsigned story appended to a genuine file.
  if (line.Next != length) return kSignatureTextBadLine;

  *signature = parsed;
  return kSignatureTextOk;
}

const char* SignatureTextResultText(SignatureTextResult result) {
  switch (result) {
    case kSignatureTextOk: return "well-formed";
    case kSignatureTextTooLarge: return "too large";
    case kSignatureTextBadFormat: return "not format 1";
    case kSignatureTextBadLine: return "lines missing, unknown or out of order";
    case kSignatureTextBadValue: return "a value of the wrong shape";
  }
  return "unknown";
}

ReleaseVerdict JudgeRelease(const ReleaseFacts& facts) {
  if (!facts.SignaturePresent) return kReleaseUnsigned;
  if (facts.TextResult != kSignatureTextOk || facts.Signature == nullptr) return kReleaseMalformed;
  // Nothing in an unverified record is trusted, so the signature comes
  // before every field it covers.
  if (!facts.SignatureValid) return kReleaseBadSignature;
  const ReleaseSignature& sig = *facts.Signature;
  if (facts.ManifestDigest == nullptr ||
      memcmp(sig.ManifestDigest, facts.ManifestDigest, kReleaseDigestLength) != 0) {
    return kReleaseDigestMismatch;
  }
  if (sig.Serial < facts.HighestSerial) return kReleaseRollback;
  if (sig.HasExpiry && facts.Now >= sig.Expiry) return kReleaseExpired;
  return kReleaseOk;
}

const char* ReleaseVerdictText(ReleaseVerdict verdict) {
  switch (verdict) {
    case kReleaseOk: return "signed release accepted";
    case kReleaseUnsigned: return "the manifest is not signed";
    case kReleaseMalformed: return "the manifest's signature file is malformed";
    case kReleaseBadSignature: return "the manifest's signature does not verify";
    case kReleaseDigestMismatch: return "the manifest differs from the signed one";
    case kReleaseRollback: return "the manifest is older than the installed release";
    case kReleaseExpired: return "the manifest has expired";
  }
  return "unknown";
}
