// The portable half of the release check.
#include "manifest/release_key.h"

bool VerifyReleaseSignature(const void* message, int32_t length, const uint8_t* signature,
                            int32_t signatureLength) {
  if (!kHaveReleaseKey) return false;
  return VerifySignatureWithKey(kReleaseKey, message, length, signature, signatureLength);
}

ReleaseVerdict CheckReleaseManifest(const uint8_t key[kReleaseKeyLength], const char* sigText,
                                    int32_t sigLength, const uint8_t manifestDigest[kReleaseDigestLength],
                                    int64_t now, uint32_t highestSerial, ReleaseSignature* accepted) {
  ReleaseSignature parsed;
  ReleaseFacts facts = {};
  facts.SignaturePresent = sigText != nullptr;
  facts.TextResult = facts.SignaturePresent ? ParseSignatureText(sigText, sigLength, &parsed)
                                            : kSignatureTextBadFormat;
  facts.Signature = facts.TextResult == kSignatureTextOk ? &parsed : nullptr;
  facts.SignatureValid = facts.Signature != nullptr &&
                         VerifySignatureWithKey(key, sigText, parsed.SignedLength, parsed.Signature,
                                                kReleaseSignatureLength);
  facts.ManifestDigest = manifestDigest;
  facts.Now = now;
  facts.HighestSerial = highestSerial;
  ReleaseVerdict verdict = JudgeRelease(facts);
  if (verdict == kReleaseOk) *accepted = parsed;
  return verdict;
}
