// The chunk index parser: what it delivers from a good index, and that it
// refuses every malformed or oversized one before delivering anything.
#include "manifest/chunk_index.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

struct TestFile {
  std::string name;
  std::vector<int32_t> chunks;  // lengths; the id of chunk j is filled with j + 1
};

void Le(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>(value >> (8 * i)));
}

std::string IndexOf(const std::vector<TestFile>& files, ChunkSizes sizes = kChunkSizes) {
  std::string out(kChunkIndexMagic, 8);
  Le(&out, static_cast<uint32_t>(sizes.Min), 4);
  Le(&out, static_cast<uint32_t>(sizes.Average), 4);
  Le(&out, static_cast<uint32_t>(sizes.Max), 4);
  out.append(32, '\x5a');
  Le(&out, static_cast<uint32_t>(files.size()), 4);
  for (const TestFile& f : files) {
    out.push_back(static_cast<char>(f.name.size()));
    out += f.name;
    uint32_t size = 0;
    for (int32_t n : f.chunks) size += static_cast<uint32_t>(n);
    Le(&out, size, 4);
    out.append(32, '\x11');
    Le(&out, static_cast<uint32_t>(f.chunks.size()), 4);
    for (size_t j = 0; j < f.chunks.size(); j++) {
      Le(&out, static_cast<uint32_t>(f.chunks[j]), 3);
      out.append(kChunkIdLength, static_cast<char>(j + 1));
    }
  }
  return out;
}

struct Seen {
  std::vector<std::string> names;
  std::vector<int32_t> sizes;
  std::vector<std::vector<int32_t>> chunks;
};

void Collect(void* context, const ChunkIndexFile& file) {
  Seen* seen = static_cast<Seen*>(context);
  seen->names.emplace_back(file.Name, static_cast<size_t>(file.NameLength));
  seen->sizes.push_back(file.Size);
  std::vector<int32_t> lengths;
  for (int32_t i = 0; i < file.ChunkCount; i++) {
    lengths.push_back(ChunkIndexChunkLength(file, i));
    EXPECT_EQ(ChunkIndexChunkId(file, i)[kChunkIdLength - 1], i + 1);
  }
  seen->chunks.push_back(lengths);
}

ChunkIndexResult Parse(const std::string& bytes, Seen* seen) {
  // An exact-size copy, so that ASan sees a read past the end.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  ChunkIndexHeader header;
  ChunkIndexSink sink = {seen, Collect};
  return ParseChunkIndex(copy.data(), static_cast<int32_t>(copy.size()), &header, &sink);
}

const int32_t kMin = kChunkSizes.Min, kMax = kChunkSizes.Max;

TEST(ChunkIndex, DeliversEveryFileWithItsChunks) {
  std::vector<TestFile> files = {{"a.dat", {kMin, kMax, 10}},
                                 {"data\\big.bin", {kMax, kMax}},
                                 {"empty.txt", {}},
                                 {"tiny", {1}}};
  std::string bytes = IndexOf(files);
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  ChunkIndexHeader header;
  Seen seen;
  ChunkIndexSink sink = {&seen, Collect};
  ASSERT_EQ(ParseChunkIndex(copy.data(), static_cast<int32_t>(copy.size()), &header, &sink),
            kChunkIndexOk);
  EXPECT_EQ(header.FileCount, 4u);
  EXPECT_EQ(header.Sizes.Average, kChunkSizes.Average);
  EXPECT_EQ(header.ManifestDigest[31], 0x5a);
  ASSERT_EQ(seen.names.size(), 4u);
  EXPECT_EQ(seen.names[1], "data\\big.bin");
  EXPECT_EQ(seen.sizes[0], kMin + kMax + 10);
  EXPECT_EQ(seen.sizes[2], 0);
  EXPECT_EQ(seen.chunks[0], (std::vector<int32_t>{kMin, kMax, 10}));
  EXPECT_EQ(seen.chunks[3], (std::vector<int32_t>{1}));

  char name[kChunkObjectNameCapacity];
  uint8_t id[kChunkIdLength];
  for (int i = 0; i < kChunkIdLength; i++) id[i] = static_cast<uint8_t>(0xA0 + i);
  ChunkObjectName(id, name);
  EXPECT_STREQ(name, "chunks/a0/a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
}

TEST(ChunkIndex, RefusesMalformedIndexesWithoutDeliveringAnything) {
  const std::string good = IndexOf({{"a", {kMin, 5}}, {"b", {7}}});
  std::string badMagic = good;
  badMagic[1] = 'X';
  std::string trailing = good + '\0';
  std::string wrongCount = good;
  wrongCount[52] = 3;
  struct Case { std::string bytes; ChunkIndexResult result; } cases[] = {
      {badMagic, kChunkIndexBadHeader},
      {IndexOf({{"a", {5}}}, {4096, 12000, 65536}), kChunkIndexBadHeader},
      {IndexOf({{"a", {5}}}, {4096, 16384, 1 << 20}), kChunkIndexBadHeader},
      {trailing, kChunkIndexTrailing},
      {wrongCount, kChunkIndexTruncated},
      {IndexOf({{"b", {5}}, {"a", {5}}}), kChunkIndexBadFile},   // out of order
      {IndexOf({{"a", {5}}, {"a", {5}}}), kChunkIndexBadFile},   // twice
      {IndexOf({{"", {5}}}), kChunkIndexBadFile},
      {IndexOf({{std::string(64, 'n'), {5}}}), kChunkIndexBadFile},
      {IndexOf({{"a\nb", {5}}}), kChunkIndexBadFile},
      {IndexOf({{"a", {kMax + 1}}}), kChunkIndexBadChunk},
      {IndexOf({{"a", {kMin - 1, 5}}}), kChunkIndexBadChunk},  // short chunk inside a file
      {IndexOf({{"a", {0}}}), kChunkIndexBadFile},              // an empty file with a chunk
  };
  for (const Case& c : cases) {
    Seen seen;
    EXPECT_EQ(Parse(c.bytes, &seen), c.result);
    EXPECT_TRUE(seen.names.empty());
  }
  // Lengths that do not add up to the size.
  std::string sum = good;
  sum[kChunkIndexHeaderSize + 2] ^= 1;  // the first file's size
  Seen seen;
  EXPECT_EQ(Parse(sum, &seen), kChunkIndexBadChunk);
  // Every cut of a good index is refused.
  for (size_t length = 0; length < good.size(); length++) {
    EXPECT_NE(Parse(good.substr(0, length), &seen), kChunkIndexOk) << length;
  }
  EXPECT_TRUE(seen.names.empty());
}

TEST(ChunkIndex, RefusesAnIndexOverTheLimitUnread) {
  std::vector<uint8_t> big(static_cast<size_t>(kChunkIndexLimit) + 1, 0);
  memcpy(big.data(), kChunkIndexMagic, 8);
  ChunkIndexHeader header;
  EXPECT_EQ(ParseChunkIndex(big.data(), static_cast<int32_t>(big.size()), &header, nullptr),
            kChunkIndexTooLarge);
  // A chunk count beyond what the bytes could hold is caught before any loop.
  std::string huge = IndexOf({{"a", {5}}});
  huge[kChunkIndexHeaderSize + 1 + 1 + 4 + 32] = '\xff';
  huge[kChunkIndexHeaderSize + 1 + 1 + 4 + 32 + 3] = '\x7f';
  Seen seen;
  EXPECT_EQ(Parse(huge, &seen), kChunkIndexBadFile);
}

}  // namespace
