// The installer's delta assembly over callbacks: a new file built from old
// files and fetched chunks, continued from a checkpoint, and refused when a
// fetch fails or brings other bytes; the entry lookup and match rules.
#include "transfer/delta.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/chunk_entry.h"
#include "tests/support/noise.h"

namespace {

struct Pass {
  const std::vector<std::vector<uint8_t>>* old;
  std::vector<uint8_t> source;  // what a fetch reads from
  std::vector<uint8_t> out;
  std::vector<int32_t> writeEnds;
  int32_t fetches = 0;
  int32_t failFetchAt = -1;  // the fetch number that fails
  int32_t corruptFetchAt = -1;
  int32_t extra = 0;  // bytes past the range a fetch delivers (an older host)
};

bool ReadOld(void* context, uint32_t file, uint32_t offset, uint8_t* buffer, int32_t length) {
  Pass* r = static_cast<Pass*>(context);
  const std::vector<uint8_t>& bytes = (*r->old)[file];
  if (offset + static_cast<size_t>(length) > bytes.size()) return false;
  memcpy(buffer, bytes.data() + offset, static_cast<size_t>(length));
  return true;
}

int32_t Fetch(void* context, const ChunkStep& step, uint8_t* buffer) {
  Pass* r = static_cast<Pass*>(context);
  int32_t number = r->fetches++;
  if (number == r->failFetchAt) return -1;
  int32_t n = std::min<int32_t>(step.Length + r->extra,
                                static_cast<int32_t>(r->source.size()) - step.NewOffset);
  n = std::min<int32_t>(n, kChunkLargest);
  memcpy(buffer, r->source.data() + step.NewOffset, static_cast<size_t>(n));
  if (number == r->corruptFetchAt) buffer[0] ^= 1;
  return n;
}

bool Write(void* context, const uint8_t* bytes, int32_t length, int32_t end) {
  Pass* r = static_cast<Pass*>(context);
  r->out.insert(r->out.end(), bytes, bytes + length);
  r->writeEnds.push_back(end);
  return true;
}

struct Fixture {
  std::vector<std::vector<uint8_t>> old;
  std::vector<uint8_t> fresh;
  std::vector<LocalChunk> slots;
  LocalChunkTable table;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunkLargest);

  // Version 2 of a 1.5 MB file: edits, an insertion, a tail; its first
  // 200,000 bytes also lie in a second installed file.
  Fixture() : slots(8192) {
    std::vector<uint8_t> one = Noise(1500000, 11);
    fresh = one;
    std::vector<uint8_t> edit = Noise(3000, 12);
    std::copy(edit.begin(), edit.end(), fresh.begin() + 700000);
    std::vector<uint8_t> insert = Noise(9000, 13);
    fresh.insert(fresh.begin() + 300000, insert.begin(), insert.end());
    std::vector<uint8_t> tail = Noise(40000, 14);
    fresh.insert(fresh.end(), tail.begin(), tail.end());
    old = {one, std::vector<uint8_t>(one.begin(), one.begin() + 200000)};
    ResetLocalChunks(&table, slots.data(), static_cast<uint32_t>(slots.size()));
    for (uint32_t f = 0; f < old.size(); f++) {
      int32_t used = 0;
      EXPECT_TRUE(AddLocalChunks(&table, kChunkSizes, f, 0, old[f].data(),
                                 static_cast<int32_t>(old[f].size()), true, &used));
    }
  }

  DeltaResult Assemble(Pass* run, const ChunkEntry& entry, int32_t maxFetch, int32_t resume,
                       int64_t* fetched) {
    run->old = &old;
    run->source = fresh;
    DeltaIo io = {run, ReadOld, Fetch, Write};
    return AssembleChunkedFile(entry.file, table, maxFetch, resume, io, buffer.data(), fetched);
  }
};

TEST(DeltaAssembly, BuildsTheNewFileFetchingOnlyWhatChanged) {
  Fixture f;
  ChunkEntry entry(f.fresh, "data\\big.dat");
  for (int32_t maxFetch : {0, static_cast<int32_t>(kChunkLargest)}) {
    for (int32_t extra : {0, 5000}) {  // a host that ignores the asked length
      Pass run;
      run.extra = extra;
      int64_t fetched = -1;
      ASSERT_EQ(f.Assemble(&run, entry, maxFetch, 0, &fetched), kDeltaDone);
      EXPECT_EQ(run.out, f.fresh);
      // 52,000 bytes changed; chunks of 4 KiB on average around each change.
      EXPECT_GT(fetched, 52000);
      EXPECT_LT(fetched, 52000 + 8 * 16384);
      EXPECT_EQ(run.writeEnds.back(), static_cast<int32_t>(f.fresh.size()));
      for (int32_t end : run.writeEnds) {
        if (end >= 0) EXPECT_TRUE(IsChunkBoundary(entry.file, end)) << end;
      }
      if (maxFetch == 0) {
        EXPECT_GT(run.fetches, 5);  // one object per chunk
      }
    }
  }
}

TEST(DeltaAssembly, ContinuesFromAChunkBoundary) {
  Fixture f;
  ChunkEntry entry(f.fresh, "big");
  Pass whole;
  int64_t wholeFetched;
  ASSERT_EQ(f.Assemble(&whole, entry, kChunkLargest, 0, &wholeFetched), kDeltaDone);
  // Every chunk boundary, including ones inside copy and fetch runs.
  for (size_t i = 0; i < entry.ends.size(); i += 37) {
    int32_t resume = entry.ends[i];
    ASSERT_TRUE(IsChunkBoundary(entry.file, resume));
    EXPECT_FALSE(IsChunkBoundary(entry.file, resume - 1));
    Pass run;
    int64_t fetched;
    ASSERT_EQ(f.Assemble(&run, entry, kChunkLargest, resume, &fetched), kDeltaDone);
    ASSERT_EQ(run.out.size(), f.fresh.size() - resume) << resume;
    EXPECT_TRUE(std::equal(run.out.begin(), run.out.end(), f.fresh.begin() + resume)) << resume;
    EXPECT_LE(fetched, wholeFetched);
  }
}

TEST(DeltaAssembly, RefusesFailedAndWrongFetchesAndUnreadableOldFiles) {
  Fixture f;
  ChunkEntry entry(f.fresh, "big");
  Pass failed;
  failed.failFetchAt = 1;
  int64_t fetched;
  EXPECT_EQ(f.Assemble(&failed, entry, 0, 0, &fetched), kDeltaFetchFailed);
  Pass wrong;
  wrong.corruptFetchAt = 2;
  EXPECT_EQ(f.Assemble(&wrong, entry, kChunkLargest, 0, &fetched), kDeltaChunkMismatch);
  // Nothing after the failure is written.
  EXPECT_EQ(wrong.fetches, 3);
  f.old[0].resize(100000);  // the installed file changed since it was cut
  Pass shrunk;
  EXPECT_EQ(f.Assemble(&shrunk, entry, kChunkLargest, 0, &fetched), kDeltaOldUnreadable);
}

TEST(DeltaEntries, FoundByExactNameAndTakenOnlyWithTheListedHash) {
  std::vector<uint8_t> bytes = Noise(5000, 3);
  ChunkEntry a(bytes, "bin\\a.dll"), b(bytes, "bin\\ab.dll"), c(bytes, "data\\x");
  ChunkIndexFile entries[] = {a.file, b.file, c.file};
  EXPECT_EQ(FindIndexEntry(entries, 3, "bin\\a.dll"), 0);
  EXPECT_EQ(FindIndexEntry(entries, 3, "bin\\ab.dll"), 1);
  EXPECT_EQ(FindIndexEntry(entries, 3, "data\\x"), 2);
  EXPECT_EQ(FindIndexEntry(entries, 3, "bin\\a"), -1);
  EXPECT_EQ(FindIndexEntry(entries, 3, "data\\x2"), -1);
  EXPECT_EQ(FindIndexEntry(entries, 0, "data\\x"), -1);

  uint8_t hash[kSha256Size] = {};
  EXPECT_TRUE(EntryFitsItem(a.file, 5000, true, hash));
  EXPECT_FALSE(EntryFitsItem(a.file, 5000, false, hash));  // nothing would judge the bytes
  EXPECT_FALSE(EntryFitsItem(a.file, 5001, true, hash));
  hash[31] = 1;
  EXPECT_FALSE(EntryFitsItem(a.file, 5000, true, hash));
}

TEST(DeltaEntries, TableSizeAndChunkUrls) {
  uint32_t slots = LocalTableSlots(100 * 1048576, 1024, 5000, 1u << 21);
  EXPECT_GE(slots / 4 * 3, 100u * 1024 + 5000);
  EXPECT_EQ(slots & (slots - 1), 0u);
  EXPECT_EQ(LocalTableSlots(int64_t{8} << 30, 1024, 0, 1u << 21), 0u);

  uint8_t id[kChunkIdLength];
  for (int i = 0; i < kChunkIdLength; i++) id[i] = static_cast<uint8_t>(0xA0 + i);
  char url[80];
  ASSERT_TRUE(ChunkObjectUrl(url, sizeof url, "http://m/x", id));
  EXPECT_STREQ(url, "http://m/x/chunks/a0/a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  ASSERT_TRUE(ChunkObjectUrl(url, sizeof url, "http://m/", id));
  EXPECT_STREQ(url, "http://m/chunks/a0/a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  EXPECT_FALSE(ChunkObjectUrl(url, 40, "http://m/", id));
  EXPECT_STREQ(url, "");
}

}  // namespace
