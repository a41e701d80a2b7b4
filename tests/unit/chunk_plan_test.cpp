// Assembly plans: a new file rebuilt from the chunks of old files plus the
// fetched ones comes out byte for byte, and only what changed is fetched.
#include "manifest/chunk_plan.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "tests/support/chunk_entry.h"
#include "tests/support/noise.h"

namespace {

struct Assembly {
  const std::vector<std::vector<uint8_t>>* old;
  const std::vector<uint8_t>* source;  // what a fetch returns
  std::vector<uint8_t> out;
  int32_t lastEnd = 0;
  bool ordered = true;
  int32_t largestFetch = 0;
};

void Apply(void* context, const ChunkStep& step) {
  Assembly* a = static_cast<Assembly*>(context);
  a->ordered = a->ordered && step.NewOffset == a->lastEnd;
  a->lastEnd = step.NewOffset + step.Length;
  const uint8_t* from = step.Kind == kChunkStepCopy
                            ? (*a->old)[step.File].data() + step.FromOffset
                            : a->source->data() + step.NewOffset;
  if (step.Kind == kChunkStepFetch && step.Length > a->largestFetch) a->largestFetch = step.Length;
  a->out.insert(a->out.end(), from, from + step.Length);
}

// Plans newBytes against the old files (cut in uneven reads, as an installer
// reads them), checks the assembly and returns the totals.
ChunkPlanTotals PlanAndAssemble(const std::vector<std::vector<uint8_t>>& old,
                                const std::vector<uint8_t>& newBytes, int32_t maxFetch,
                                Assembly* assembly) {
  std::vector<LocalChunk> slots(4096);
  LocalChunkTable table;
  ResetLocalChunks(&table, slots.data(), static_cast<uint32_t>(slots.size()));
  for (uint32_t f = 0; f < old.size(); f++) {
    size_t at = 0;
    const size_t kRead = 300000;  // not a multiple of anything
    while (at < old[f].size()) {
      size_t end = std::min(old[f].size(), at + kRead);
      // Rest left over from the previous read is passed again first.
      int32_t used = 0;
      EXPECT_TRUE(AddLocalChunks(&table, kChunkSizes, f, static_cast<uint32_t>(at),
                                 old[f].data() + at, static_cast<int32_t>(end - at),
                                 end == old[f].size(), &used));
      if (end == old[f].size()) break;
      at += static_cast<size_t>(used);
      if (used == 0) at = end;  // cannot happen with reads over Max
    }
  }
  ChunkEntry entry(newBytes);
  assembly->old = &old;
  assembly->source = &newBytes;
  ChunkPlanSink sink = {assembly, Apply};
  ChunkPlanTotals totals;
  PlanChunkedFile(entry.file, table, maxFetch, &sink, &totals);
  EXPECT_TRUE(assembly->out == newBytes);
  EXPECT_TRUE(assembly->ordered);
  EXPECT_EQ(totals.CopyBytes + totals.FetchBytes, static_cast<int64_t>(newBytes.size()));
  return totals;
}

std::vector<uint8_t> Splice(const std::vector<uint8_t>& v, size_t at, size_t removed,
                            const std::vector<uint8_t>& inserted) {
  std::vector<uint8_t> out(v.begin(), v.begin() + static_cast<long>(at));
  out.insert(out.end(), inserted.begin(), inserted.end());
  out.insert(out.end(), v.begin() + static_cast<long>(at + removed), v.end());
  return out;
}

TEST(ChunkPlan, EveryKindOfChangeAssemblesAndFetchesLittle) {
  const std::vector<uint8_t> base = Noise(3 << 20, 1);
  const std::vector<uint8_t> other = Noise(1 << 20, 2);
  std::vector<uint8_t> edited = base;
  for (size_t at : {100000u, 1500000u, 2900000u}) edited[at] ^= 0xFF;  // scattered edits
  std::vector<uint8_t> moved = other;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int64_t mostFetched;
  } cases[] = {
      {"unchanged", base, 0},
      {"scattered edits", edited, 3 * 2 * kChunkSizes.Max},
      {"insertion", Splice(base, 1000000, 0, Noise(5000, 3)), 5000 + 2 * kChunkSizes.Max},
      {"deletion", Splice(base, 2000000, 30000, {}), 2 * kChunkSizes.Max},
      {"appended tail", Splice(base, base.size(), 0, Noise(200000, 4)), 200000 + kChunkSizes.Max},
      {"cut tail", std::vector<uint8_t>(base.begin(), base.begin() + 2000000), kChunkSizes.Max},
      {"moved or renamed file", moved, 0},
      {"two old files joined", Splice(base, 500000, 0, other), 2 * kChunkSizes.Max},
      {"new file", Noise(400000, 9), 400000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Assembly assembly;
    ChunkPlanTotals totals = PlanAndAssemble({base, other}, c.bytes, kChunkLargest, &assembly);
    EXPECT_LE(totals.FetchBytes, c.mostFetched);
    EXPECT_LE(assembly.largestFetch, kChunkLargest);
  }
}

TEST(ChunkPlan, FetchStepsAreOneChunkForMirrorsAndMergedForTheSession) {
  const std::vector<uint8_t> fresh = Noise(2 << 20, 5);
  Assembly mirror, session;
  ChunkPlanTotals perChunk = PlanAndAssemble({}, fresh, 0, &mirror);
  ChunkPlanTotals merged = PlanAndAssemble({}, fresh, kChunkLargest, &session);
  EXPECT_EQ(perChunk.Steps, perChunk.FetchChunks);
  EXPECT_EQ(merged.FetchChunks, perChunk.FetchChunks);
  EXPECT_LT(merged.Steps, perChunk.Steps);
  EXPECT_LE(session.largestFetch, kChunkLargest);
  // Copies from one old file merge while they lie back to back.
  Assembly copy;
  ChunkPlanTotals same = PlanAndAssemble({fresh}, fresh, 0, &copy);
  EXPECT_EQ(same.Steps, 1);
  EXPECT_EQ(same.FetchBytes, 0);
}

TEST(ChunkPlan, TableRefusesWhenFullAndKeepsTheFirstPlace) {
  LocalChunk slots[8];
  LocalChunkTable table;
  ResetLocalChunks(&table, slots, 8);
  uint8_t id[kChunkIdLength] = {};
  for (int i = 0; i < 6; i++) {
    id[0] = static_cast<uint8_t>(i * 8);  // all in one probe chain
    EXPECT_TRUE(AddLocalChunk(&table, id, 0, static_cast<uint32_t>(i), 10));
  }
  id[0] = 200;
  EXPECT_FALSE(AddLocalChunk(&table, id, 0, 0, 10));
  id[0] = 8;
  EXPECT_TRUE(AddLocalChunk(&table, id, 5, 99, 10));
  ASSERT_NE(FindLocalChunk(table, id), nullptr);
  EXPECT_EQ(FindLocalChunk(table, id)->Offset, 1u);
  id[0] = 201;
  EXPECT_EQ(FindLocalChunk(table, id), nullptr);
}

}  // namespace
