// The chunker: the same cuts on every build, cuts that survive edits, and
// the size bounds. The vectors below are asserted by the native and the
// 32-bit Windows run alike, so a difference between the two fails one.
#include "tinylib/chunker.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace {

// Bytes that look like a binary file: runs of noise, of small numbers and
// of repeats, from a fixed seed (xorshift32).
std::vector<uint8_t> SampleBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  size_t at = 0;
  while (at < size) {
    size_t run = 64 + next() % 4096;
    uint32_t kind = next() % 3;
    for (size_t i = 0; i < run && at < size; i++, at++) {
      uint32_t r = next();
      bytes[at] = static_cast<uint8_t>(kind == 0 ? r : kind == 1 ? r % 16 : (at / 7) & 0xFF);
    }
  }
  return bytes;
}

std::vector<int32_t> Cut(const ChunkSizes& sizes, const std::vector<uint8_t>& data) {
  std::vector<int32_t> lengths;
  size_t at = 0;
  while (at < data.size()) {
    int32_t left = static_cast<int32_t>(data.size() - at);
    int32_t n = ChunkLength(sizes, data.data() + at, left < sizes.Max ? left : sizes.Max);
    lengths.push_back(n);
    at += static_cast<size_t>(n);
  }
  return lengths;
}

// Cut offsets from the start of the data.
std::vector<size_t> Ends(const std::vector<int32_t>& lengths) {
  std::vector<size_t> ends;
  size_t at = 0;
  for (int32_t n : lengths) ends.push_back(at += static_cast<size_t>(n));
  return ends;
}

TEST(Chunker, SharedVectors) {
  // Generated once natively; both builds must cut exactly so.
  std::vector<uint8_t> data = SampleBytes(1 << 20, 2026);
  // Sizes of their own, so that tuning kChunkSizes leaves the vectors be.
  const ChunkSizes sizes = {4096, 16384, 65536};
  std::vector<int32_t> lengths = Cut(sizes, data);
  const int32_t kFirst[] = {17291, 17651, 18069, 17920, 17331, 9224, 19464, 16701};
  const size_t kCount = 59;
  uint32_t fold = 0;  // FNV-1a over every length
  for (int32_t n : lengths) fold = (fold ^ static_cast<uint32_t>(n)) * 16777619u;
  EXPECT_EQ(lengths.size(), kCount);
  for (size_t i = 0; i < sizeof kFirst / sizeof kFirst[0] && i < lengths.size(); i++)
    EXPECT_EQ(lengths[i], kFirst[i]) << "chunk " << i;
  EXPECT_EQ(fold, 3990900784u);

  const ChunkSizes small = {256, 1024, 4096};
  std::vector<int32_t> smallLengths = Cut(small, data);
  fold = 0;
  for (int32_t n : smallLengths) fold = (fold ^ static_cast<uint32_t>(n)) * 16777619u;
  EXPECT_EQ(smallLengths.size(), 977u);
  EXPECT_EQ(fold, 2465180424u);

  uint8_t id[kChunkIdLength];
  ASSERT_TRUE(ChunkIdOf("abc", 3, id));
  const uint8_t kAbc[kChunkIdLength] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                        0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23};
  EXPECT_EQ(memcmp(id, kAbc, kChunkIdLength), 0);
}

TEST(Chunker, LengthsStayInBounds) {
  std::vector<uint8_t> data = SampleBytes(3 << 20, 7);
  std::vector<uint8_t> zeros(300000, 0);  // no cut point anywhere: Max each time
  for (const auto* bytes : {&data, &zeros}) {
    std::vector<int32_t> lengths = Cut(kChunkSizes, *bytes);
    for (size_t i = 0; i + 1 < lengths.size(); i++) {
      EXPECT_GE(lengths[i], kChunkSizes.Min);
      EXPECT_LE(lengths[i], kChunkSizes.Max);
    }
  }
  EXPECT_EQ(Cut(kChunkSizes, zeros)[0], kChunkSizes.Max);
  EXPECT_EQ(ChunkLength(kChunkSizes, zeros.data(), 0), 0);
  EXPECT_EQ(ChunkLength(kChunkSizes, zeros.data(), 100), 100);  // a short tail is one chunk
  EXPECT_LE(kChunkSizes.Max, kChunkLargest);
  EXPECT_TRUE(ChunkSizesValid(kChunkSizes));
  EXPECT_FALSE(ChunkSizesValid({4096, 12000, 65536}));  // average not a power of two
  EXPECT_FALSE(ChunkSizesValid({4096, 16384, 524288}));  // over one session request
  EXPECT_FALSE(ChunkSizesValid({16, 16384, 65536}));
}

TEST(Chunker, AverageNearTheChosenSize) {
  std::vector<uint8_t> data = SampleBytes(8 << 20, 99);
  std::vector<int32_t> lengths = Cut(kChunkSizes, data);
  double average = static_cast<double>(data.size()) / static_cast<double>(lengths.size());
  EXPECT_GT(average, kChunkSizes.Average * 0.7);
  EXPECT_LT(average, kChunkSizes.Average * 1.5);
}

// After an insertion or a deletion, the cuts before it stay and the cuts
// after it come back at their old places shifted by the change.
TEST(Chunker, CutsResynchronizeAfterInsertionsAndDeletions) {
  std::vector<uint8_t> old = SampleBytes(2 << 20, 11);
  std::vector<size_t> oldEnds = Ends(Cut(kChunkSizes, old));
  struct Change { size_t at; size_t removed; size_t inserted; } changes[] = {
      {700000, 0, 1}, {700000, 0, 5000}, {1000003, 1, 0}, {1000003, 40000, 0}, {5, 3, 17}};
  for (const Change& change : changes) {
    std::vector<uint8_t> edited(old.begin(), old.begin() + static_cast<long>(change.at));
    std::vector<uint8_t> insert = SampleBytes(change.inserted, 5);
    edited.insert(edited.end(), insert.begin(), insert.end());
    edited.insert(edited.end(), old.begin() + static_cast<long>(change.at + change.removed), old.end());
    std::vector<size_t> newEnds = Ends(Cut(kChunkSizes, edited));
    const long shift = static_cast<long>(change.inserted) - static_cast<long>(change.removed);
    size_t kept = 0, lost = 0;
    for (size_t end : oldEnds) {
      bool before = end <= change.at;
      size_t where = before ? end : static_cast<size_t>(static_cast<long>(end) + shift);
      bool found = std::binary_search(newEnds.begin(), newEnds.end(), where);
      if (before) {
        EXPECT_TRUE(found) << "a cut before the change moved";
      } else if (end > change.at + change.removed) {
        ++(found ? kept : lost);
      }
    }
    // Only the chunks around the change are cut anew.
    EXPECT_LE(lost, 3u) << "change at " << change.at;
    EXPECT_GT(kept, 50u);
  }
}

}  // namespace
