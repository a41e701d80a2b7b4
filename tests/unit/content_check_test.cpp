// The check of downloaded bytes against the manifest's SHA-256, fed as the
// bytes are written, in pieces of any size.
#include "transfer/content_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/download_list.h"
#include "manifest/manifest_text.h"

namespace {

// SHA-256 of "abc" (FIPS 180-2).
const char kAbcHash[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct Fed {
  const char* what;
  bool hasHash;
  std::vector<std::string> pieces;
  ContentVerdict expected;
};

TEST(ContentCheck, JudgesTheBytesAsTheyPass) {
  uint8_t abc[kSha256Size];
  ASSERT_TRUE(ParseSha256Hex(kAbcHash, abc));
  const Fed cases[] = {
      {"no hash listed", false, {"anything"}, kContentUnchecked},
      {"whole", true, {"abc"}, kContentMatches},
      {"byte by byte, with empty pieces", true, {"a", "", "b", "c", ""}, kContentMatches},
      {"one byte other", true, {"abd"}, kContentDiffers},
      {"one byte short", true, {"ab"}, kContentDiffers},
      {"one byte more", true, {"abc", "\n"}, kContentDiffers},
      {"nothing at all", true, {}, kContentDiffers},
  };
  ContentCheck check;  // one object for all: each Start begins afresh
  for (const Fed& c : cases) {
    check.Start(c.hasHash, abc);
    for (const std::string& piece : c.pieces)
      check.Add(piece.data(), static_cast<int32_t>(piece.size()));
    ContentVerdict verdict = check.Finish();
    EXPECT_EQ(verdict, c.expected) << c.what;
    EXPECT_EQ(ContentAccepted(verdict),
              c.expected == kContentUnchecked || c.expected == kContentMatches)
        << c.what;
    if (c.expected == kContentMatches || c.expected == kContentDiffers) {
      char got[kSha256HexCapacity];
      FormatSha256Hex(check.Digest(), got);
      EXPECT_EQ(std::string(got) == kAbcHash, c.expected == kContentMatches) << c.what;
    }
  }
}

TEST(ContentCheck, TakesTheItemsHashAndNeverAcceptsALostDigest) {
  DownloadItem item = {};
  item.HasHash = true;
  ASSERT_TRUE(ParseSha256Hex(kAbcHash, item.Hash));
  ContentCheck check;
  check.Start(item);
  check.Add("abc", -1);  // a negative count is no bytes
  check.Add("abc", 3);
  EXPECT_EQ(check.Finish(), kContentMatches);
  // Asked again, a refusal stays a refusal: never "nothing to check".
  check.Start(item);
  check.Add("abd", 3);
  EXPECT_EQ(check.Finish(), kContentDiffers);
  EXPECT_EQ(check.Finish(), kContentDiffers);
  EXPECT_FALSE(ContentAccepted(kContentHashFailed));
  EXPECT_FALSE(ContentAccepted(kContentDiffers));
}

}  // namespace
