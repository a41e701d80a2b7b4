// The table-free crc32 that stands in for libz.a's in the Windows link.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

namespace {

uLong Crc(const char* text) {
  return crc32(0, reinterpret_cast<const Bytef*>(text), static_cast<uInt>(strlen(text)));
}

TEST(ZlibCrc32, KnownValues) {
  struct Case {
    const char* text;
    uLong crc;
  } cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const Case& c : cases) EXPECT_EQ(Crc(c.text), c.crc) << '"' << c.text << '"';

  Bytef every[256];
  for (int i = 0; i < 256; i++) every[i] = static_cast<Bytef>(i);
  EXPECT_EQ(crc32(0, every, sizeof every), 0x29058C73u);
}

TEST(ZlibCrc32, ContinuesFromAnEarlierValueAndGivesTheInitialValueForNoBuffer) {
  EXPECT_EQ(crc32(0, Z_NULL, 0), 0u);
  EXPECT_EQ(crc32(Crc("123"), reinterpret_cast<const Bytef*>("456789"), 6), 0xCBF43926u);
}

// inflate checks a gzip trailer with crc32: a good stream inflates, one with
// a changed trailer is refused.
TEST(ZlibCrc32, InflateChecksGzipTrailersWithIt) {
  static const Bytef kGzip[] = {
      0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xcb, 0x48, 0xcd,
      0xc9, 0xc9, 0x57, 0x28, 0x4e, 0x2d, 0x2e, 0xce, 0xcc, 0xcf, 0x53, 0xc8, 0x40,
      0xe6, 0x01, 0x00, 0xeb, 0x16, 0x5a, 0x2c, 0x1b, 0x00, 0x00, 0x00};
  const int kCrcByte = 29;  // first byte of the trailer's CRC-32
  for (int corrupt = 0; corrupt < 2; corrupt++) {
    Bytef input[sizeof kGzip];
    memcpy(input, kGzip, sizeof kGzip);
    if (corrupt) input[kCrcByte] ^= 1;
    char output[64] = {};
    z_stream z;
    memset(&z, 0, sizeof z);
    ASSERT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = input;
    z.avail_in = sizeof input;
    z.next_out = reinterpret_cast<Bytef*>(output);
    z.avail_out = sizeof output - 1;
    int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    if (corrupt) {
      EXPECT_EQ(result, Z_DATA_ERROR);
    } else {
      EXPECT_EQ(result, Z_STREAM_END);
      EXPECT_STREQ(output, "hello session hello session");
    }
  }
}

}  // namespace
