// The signature file's text and the verdict on a signed release.
#include "manifest/signature_text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

const std::string kDigestHex(64, 'a');
const std::string kSigHex = std::string(64, '0') + std::string(64, 'f');

std::string Sig(const std::string& head, const std::string& tail = "\n") {
  return "format 1\nserial 7\n" + head + "sha256 " + kDigestHex + "\nsignature " + kSigHex + tail;
}

SignatureTextResult Parse(const std::string& text, ReleaseSignature* out = nullptr) {
  ReleaseSignature scratch;
  return ParseSignatureText(text.data(), static_cast<int32_t>(text.size()),
                            out != nullptr ? out : &scratch);
}

TEST(SignatureText, ReadsEveryField) {
  std::string text = "format 1\nserial 4294967295\nexpires 2027-01-07T00:00:00Z\nsha256 0123456789abcdef" +
                     std::string(48, 'e') + "\nsignature 00ff" + std::string(124, '1') + "\n";
  ReleaseSignature sig;
  ASSERT_EQ(kSignatureTextOk, Parse(text, &sig));
  EXPECT_EQ(4294967295u, sig.Serial);
  EXPECT_TRUE(sig.HasExpiry);
  EXPECT_EQ(1799280000, sig.Expiry);  // date -u -d 2027-01-07 +%s
  EXPECT_EQ(0x01, sig.ManifestDigest[0]);
  EXPECT_EQ(0xef, sig.ManifestDigest[7]);
  EXPECT_EQ(0xee, sig.ManifestDigest[31]);
  EXPECT_EQ(0x00, sig.Signature[0]);
  EXPECT_EQ(0xff, sig.Signature[1]);
  EXPECT_EQ(0x11, sig.Signature[63]);
  // The signed part ends with the sha256 line's line end.
  EXPECT_EQ(static_cast<int32_t>(text.find("signature ")), sig.SignedLength);
}

TEST(SignatureText, SignedPartKeepsTheLineEndsAsWritten) {
  std::string text = "format 1\r\nserial 7\r\nsha256 " + kDigestHex + "\r\nsignature " + kSigHex + "\r\n";
  ReleaseSignature sig;
  ASSERT_EQ(kSignatureTextOk, Parse(text, &sig));
  EXPECT_EQ(static_cast<int32_t>(text.find("signature ")), sig.SignedLength);
  EXPECT_EQ('\n', text[sig.SignedLength - 1]);
  EXPECT_FALSE(sig.HasExpiry);
}

struct Case {
  const char* what;
  std::string text;
  SignatureTextResult expected;
};

TEST(SignatureText, AcceptsOrRefusesEachShape) {
  const Case cases[] = {
      {"plain", Sig(""), kSignatureTextOk},
      {"no final line end", Sig("", ""), kSignatureTextOk},
      {"final CR LF", Sig("", "\r\n"), kSignatureTextOk},
      {"with expiry", Sig("expires 2030-02-28T23:59:59Z\n"), kSignatureTextOk},
      {"leap day", Sig("expires 2028-02-29T00:00:00Z\n"), kSignatureTextOk},
      // Format line.
      {"empty", "", kSignatureTextBadFormat},
      {"format 2", "format 2\nserial 7\nsha256 " + kDigestHex + "\nsignature " + kSigHex + "\n",
       kSignatureTextBadFormat},
      {"no format line", "serial 7\nsha256 " + kDigestHex + "\nsignature " + kSigHex + "\n",
       kSignatureTextBadFormat},
      {"format only", "format 1", kSignatureTextBadFormat},
      {"blank first", "\n" + Sig(""), kSignatureTextBadFormat},
      // Lines: order, missing, unknown, extra.
      {"format only with end", "format 1\n", kSignatureTextBadLine},
      {"missing serial", "format 1\nsha256 " + kDigestHex + "\nsignature " + kSigHex + "\n",
       kSignatureTextBadLine},
      {"missing sha256", "format 1\nserial 7\nsignature " + kSigHex + "\n", kSignatureTextBadLine},
      {"missing signature", "format 1\nserial 7\nsha256 " + kDigestHex + "\n", kSignatureTextBadLine},
      {"sha256 before serial",
       "format 1\nsha256 " + kDigestHex + "\nserial 7\nsignature " + kSigHex + "\n",
       kSignatureTextBadLine},
      {"expires after sha256",
       "format 1\nserial 7\nsha256 " + kDigestHex + "\nexpires 2030-01-01T00:00:00Z\nsignature " +
           kSigHex + "\n",
       kSignatureTextBadLine},
      {"expires twice", Sig("expires 2030-01-01T00:00:00Z\nexpires 2030-01-01T00:00:00Z\n"),
       kSignatureTextBadLine},
      {"unknown key", Sig("comment hello\n"), kSignatureTextBadLine},
      {"blank line inside", Sig("\n"), kSignatureTextBadLine},
      {"two spaces after key", "format 1\nserial  7\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"tab instead of space", "format 1\nserial\t7\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadLine},
      {"upper-case key", "format 1\nSERIAL 7\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadLine},
      {"two final line ends", Sig("", "\n\n"), kSignatureTextBadLine},
      {"text after signature", Sig("", "\nserial 8\n"), kSignatureTextBadLine},
      {"second signature line", Sig("", "\nsignature " + kSigHex + "\n"), kSignatureTextBadLine},
      // Values.
      {"serial 0", "format 1\nserial 0\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial leading zero", "format 1\nserial 07\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial 2^32", "format 1\nserial 4294967296\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial negative", "format 1\nserial -7\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial trailing space", "format 1\nserial 7 \nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial bare CR", "format 1\nserial 7\r\r\nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"serial empty", "format 1\nserial \nsha256 " + kDigestHex + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"sha256 short", "format 1\nserial 7\nsha256 " + kDigestHex.substr(2) + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"sha256 long", "format 1\nserial 7\nsha256 " + kDigestHex + "00\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"sha256 upper case",
       "format 1\nserial 7\nsha256 " + std::string(64, 'A') + "\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"sha256 non-hex", "format 1\nserial 7\nsha256 " + std::string(63, 'a') + "g\nsignature " + kSigHex,
       kSignatureTextBadValue},
      {"signature short", "format 1\nserial 7\nsha256 " + kDigestHex + "\nsignature " + kSigHex.substr(1),
       kSignatureTextBadValue},
      {"signature trailing space", Sig("", " \n"), kSignatureTextBadValue},
      {"expires no Z", Sig("expires 2030-01-01T00:00:00\n"), kSignatureTextBadValue},
      {"expires offset", Sig("expires 2030-01-01T00:00:00+01:00\n"), kSignatureTextBadValue},
      {"expires date only", Sig("expires 2030-01-01\n"), kSignatureTextBadValue},
      {"expires month 13", Sig("expires 2030-13-01T00:00:00Z\n"), kSignatureTextBadValue},
      {"expires Feb 29 not leap", Sig("expires 2100-02-29T00:00:00Z\n"), kSignatureTextBadValue},
      {"expires Apr 31", Sig("expires 2030-04-31T00:00:00Z\n"), kSignatureTextBadValue},
      {"expires day 0", Sig("expires 2030-04-00T00:00:00Z\n"), kSignatureTextBadValue},
      {"expires hour 24", Sig("expires 2030-04-01T24:00:00Z\n"), kSignatureTextBadValue},
      {"expires second 60", Sig("expires 2030-04-01T23:59:60Z\n"), kSignatureTextBadValue},
      {"expires before 1970", Sig("expires 1969-12-31T23:59:59Z\n"), kSignatureTextBadValue},
      {"expires sign in digits", Sig("expires 2030-0+-01T00:00:00Z\n"), kSignatureTextBadValue},
      // Size.
      {"over the limit", Sig("", std::string(kSignatureTextLimit, '\n')), kSignatureTextTooLarge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Parse(c.text)) << c.what;
  }
}

TEST(SignatureText, SizeLimitCountsEveryByte) {
  // A well-formed head padded out to exactly the limit is judged on its
  // lines; one byte more is refused for its size alone.
  std::string text = Sig("", "\n");
  text.append(kSignatureTextLimit - text.size(), '\n');
  EXPECT_EQ(kSignatureTextBadLine, Parse(text));
  text.push_back('\n');
  EXPECT_EQ(kSignatureTextTooLarge, Parse(text));
}

TEST(SignatureText, ReadsOnlyTheGivenLength) {
  std::string text = Sig("", "");
  std::string longer = text + "\nsignature " + kSigHex;
  ReleaseSignature sig;
  EXPECT_EQ(kSignatureTextOk, ParseSignatureText(longer.data(), static_cast<int32_t>(text.size()), &sig));
  EXPECT_EQ(kSignatureTextBadFormat, ParseSignatureText(nullptr, 0, &sig));
  EXPECT_EQ(kSignatureTextBadFormat, ParseSignatureText(text.data(), -1, &sig));
}

TEST(SignatureText, UtcStampsMatchTheCalendar) {
  struct Stamp {
    const char* text;
    int64_t seconds;  // from date -u -d ... +%s
  } const stamps[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01T00:00:01Z", 1},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2000-03-01T00:00:00Z", 951868800},
      {"2038-01-19T03:14:08Z", 2147483648ll},  // past 32 bits
      {"2100-03-01T00:00:00Z", 4107542400ll},
      {"9999-12-31T23:59:59Z", 253402300799ll},
  };
  for (const Stamp& s : stamps) {
    int64_t seconds = -1;
    EXPECT_TRUE(ParseUtcStamp(s.text, 20, &seconds)) << s.text;
    EXPECT_EQ(s.seconds, seconds) << s.text;
  }
}

struct JudgeCase {
  const char* what;
  bool present;
  SignatureTextResult text;
  bool valid;
  bool sameDigest;
  uint32_t serial;
  bool hasExpiry;
  int64_t expiry;
  uint32_t highest;
  ReleaseVerdict expected;
};

TEST(JudgeRelease, DecidesEachCase) {
  const int64_t now = 1800000000;
  const JudgeCase cases[] = {
      {"genuine", true, kSignatureTextOk, true, true, 7, false, 0, 0, kReleaseOk},
      {"same serial again", true, kSignatureTextOk, true, true, 7, false, 0, 7, kReleaseOk},
      {"newer serial", true, kSignatureTextOk, true, true, 8, false, 0, 7, kReleaseOk},
      {"expiry ahead", true, kSignatureTextOk, true, true, 7, true, now + 1, 0, kReleaseOk},
      {"no signature file", false, kSignatureTextOk, true, true, 7, false, 0, 0, kReleaseUnsigned},
      {"malformed", true, kSignatureTextBadLine, true, true, 7, false, 0, 0, kReleaseMalformed},
      {"too large", true, kSignatureTextTooLarge, true, true, 7, false, 0, 0, kReleaseMalformed},
      {"bad signature", true, kSignatureTextOk, false, true, 7, false, 0, 0, kReleaseBadSignature},
      // An unverified record says nothing: a forged serial or date must not
      // change the reason.
      {"bad signature, old serial", true, kSignatureTextOk, false, false, 1, true, 0, 9,
       kReleaseBadSignature},
      {"digest mismatch", true, kSignatureTextOk, true, false, 7, false, 0, 0, kReleaseDigestMismatch},
      {"mismatch and rollback", true, kSignatureTextOk, true, false, 6, false, 0, 7,
       kReleaseDigestMismatch},
      {"rollback", true, kSignatureTextOk, true, true, 6, false, 0, 7, kReleaseRollback},
      {"rollback and expired", true, kSignatureTextOk, true, true, 6, true, now - 1, 7, kReleaseRollback},
      {"expired at the instant", true, kSignatureTextOk, true, true, 7, true, now, 0, kReleaseExpired},
      {"expired", true, kSignatureTextOk, true, true, 7, true, 0, 0, kReleaseExpired},
  };
  for (const JudgeCase& c : cases) {
    ReleaseSignature sig;
    memset(&sig, 0, sizeof sig);
    sig.Serial = c.serial;
    sig.HasExpiry = c.hasExpiry;
    sig.Expiry = c.expiry;
    memset(sig.ManifestDigest, 0x5a, sizeof sig.ManifestDigest);
    uint8_t received[kReleaseDigestLength];
    memset(received, 0x5a, sizeof received);
    if (!c.sameDigest) received[31] ^= 1;
    ReleaseFacts facts = {c.present, c.text, &sig, c.valid, received, now, c.highest};
    EXPECT_EQ(c.expected, JudgeRelease(facts)) << c.what;
  }
}

}  // namespace
