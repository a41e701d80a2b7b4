// Fuzz target: a chunk index from a hostile server, read and planned from.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/chunk_plan.h"

namespace {

struct Check {
  LocalChunkTable* Table;
};

void Visit(void* context, const ChunkIndexFile& file) {
  // What the parser delivers must hold: lengths within bounds adding up to
  // the size, and a plan that covers the file exactly.
  int64_t total = 0;
  for (int32_t i = 0; i < file.ChunkCount; i++) {
    int32_t n = ChunkIndexChunkLength(file, i);
    if (n < 1 || n > kChunkLargest) abort();
    total += n;
  }
  if (total != file.Size || file.NameLength < 1 || file.NameLength >= kManifestNameCapacity) abort();
  ChunkPlanTotals totals;
  PlanChunkedFile(file, *static_cast<Check*>(context)->Table, kChunkLargest, nullptr, &totals);
  if (totals.CopyBytes + totals.FetchBytes != file.Size) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size > 0) memcpy(copy, data, size);
  // A few local chunks, named like bytes of the input, so that plans copy too.
  LocalChunk slots[64];
  LocalChunkTable table;
  ResetLocalChunks(&table, slots, 64);
  for (size_t at = 0; at + kChunkIdLength <= size && at < 40 * kChunkIdLength; at += 7)
    AddLocalChunk(&table, copy + at, 0, 0, static_cast<int32_t>(copy[at]) + 1);
  Check check = {&table};
  ChunkIndexSink sink = {&check, Visit};
  ChunkIndexHeader header;
  ParseChunkIndex(copy, static_cast<int32_t>(size), &header, &sink);
  free(copy);
  return 0;
}
