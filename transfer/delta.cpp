// Delta updates, the portable half (see delta.h).
#include "transfer/delta.h"

#include <string.h>

#include "tinylib/text.h"

int32_t FindIndexEntry(const ChunkIndexFile* entries, int32_t count, const char* name) {
  int32_t length = TextLength(name);
  int32_t low = 0, high = count - 1;
  while (low <= high) {
    int32_t middle = low + (high - low) / 2;
    const ChunkIndexFile& entry = entries[middle];
    int32_t common = entry.NameLength < length ? entry.NameLength : length;
    int order = memcmp(entry.Name, name, static_cast<size_t>(common));
    if (order == 0) order = entry.NameLength - length;
    if (order == 0) return middle;
    if (order < 0) low = middle + 1;
    else high = middle - 1;
  }
  return -1;
}

bool EntryFitsItem(const ChunkIndexFile& entry, int32_t size, bool hasHash, const uint8_t* hash) {
  return hasHash && entry.Size == size && memcmp(entry.Digest, hash, kSha256Size) == 0;
}

bool IsChunkBoundary(const ChunkIndexFile& file, int32_t offset) {
  int32_t at = 0;
  for (int32_t i = 0; at < offset && i < file.ChunkCount; i++) at += ChunkIndexChunkLength(file, i);
  return at == offset;
}

uint32_t LocalTableSlots(int64_t oldBytes, int32_t minChunk, int64_t listedChunks,
                         uint32_t maxSlots) {
  if (minChunk <= 0) return 0;
  // A shift by the largest power of two within minChunk: a bound at most
  // twice too high, and no 64-bit division routine in the program.
  int shift = 0;
  while ((2 << shift) <= minChunk) shift++;
  int64_t chunks = (oldBytes >> shift) + 1 + listedChunks;
  uint64_t slots = 16;
  while (slots / 4 * 3 < static_cast<uint64_t>(chunks) + 1) slots *= 2;
  return slots > maxSlots ? 0 : static_cast<uint32_t>(slots);
}

bool ChunkObjectUrl(char* buffer, size_t capacity, const char* base,
                    const uint8_t id[kChunkIdLength]) {
  char object[kChunkObjectNameCapacity];
  ChunkObjectName(id, object);
  int32_t length = TextLength(base);
  bool slash = length > 0 && base[length - 1] == '/';
  if (CopyTextCut(buffer, capacity, base) && (slash || AppendTextCut(buffer, capacity, "/")) &&
      AppendTextCut(buffer, capacity, object))
    return true;
  if (capacity > 0) buffer[0] = 0;
  return false;
}

namespace {

struct Assembler {
  const ChunkIndexFile* File;
  const DeltaIo* Io;
  uint8_t* Buffer;
  int32_t ResumeOffset;
  int64_t Fetched;
  DeltaResult Result;
};

// Fetched bytes must be exactly the chunks the step names.
bool FetchedChunksMatch(const ChunkIndexFile& file, const ChunkStep& step, const uint8_t* bytes) {
  int32_t at = 0;
  for (int32_t i = step.FirstChunk; i < step.FirstChunk + step.ChunkCount; i++) {
    int32_t length = ChunkIndexChunkLength(file, i);
    uint8_t id[kChunkIdLength];
    if (!ChunkIdOf(bytes + at, length, id) ||
        memcmp(id, ChunkIndexChunkId(file, i), kChunkIdLength) != 0)
      return false;
    at += length;
  }
  return true;
}

// The part of a step at or after the resume offset (a chunk boundary):
// false when it lies wholly before it.
bool TrimStep(const ChunkIndexFile& file, int32_t resume, ChunkStep* step) {
  if (step->NewOffset + step->Length <= resume) return false;
  while (step->NewOffset < resume) {
    int32_t length = ChunkIndexChunkLength(file, step->FirstChunk);
    step->NewOffset += length;
    step->Length -= length;
    step->FromOffset += static_cast<uint32_t>(length);
    step->FirstChunk++;
    step->ChunkCount--;
  }
  return true;
}

void DoStep(void* context, const ChunkStep& planned) {
  Assembler* a = static_cast<Assembler*>(context);
  ChunkStep step = planned;
  if (a->Result != kDeltaDone || !TrimStep(*a->File, a->ResumeOffset, &step)) return;
  const DeltaIo& io = *a->Io;
  if (step.Kind == kChunkStepFetch) {
    int32_t got = io.Fetch(io.Context, step, a->Buffer);
    // A host that ignores the asked length sends more from the same offset:
    // the first bytes are still the range.
    if (got < step.Length) a->Result = kDeltaFetchFailed;
    else if (!FetchedChunksMatch(*a->File, step, a->Buffer)) a->Result = kDeltaChunkMismatch;
    else if (!io.Write(io.Context, a->Buffer, step.Length, step.NewOffset + step.Length))
      a->Result = kDeltaWriteFailed;
    else a->Fetched += step.Length;
    return;
  }
  for (int32_t done = 0; done < step.Length && a->Result == kDeltaDone;) {
    int32_t piece = step.Length - done < kChunkLargest ? step.Length - done : kChunkLargest;
    if (!io.ReadOld(io.Context, step.File, step.FromOffset + static_cast<uint32_t>(done),
                    a->Buffer, piece))
      a->Result = kDeltaOldUnreadable;
    else if (!io.Write(io.Context, a->Buffer, piece,
                       done + piece == step.Length ? step.NewOffset + step.Length : -1))
      a->Result = kDeltaWriteFailed;
    done += piece;
  }
}

}  // namespace

DeltaResult AssembleChunkedFile(const ChunkIndexFile& file, const LocalChunkTable& table,
                                int32_t maxFetch, int32_t resumeOffset, const DeltaIo& io,
                                uint8_t* buffer, int64_t* fetched) {
  Assembler assembler = {&file, &io, buffer, resumeOffset, 0, kDeltaDone};
  ChunkPlanSink sink = {&assembler, DoStep};
  ChunkPlanTotals totals = {};
  PlanChunkedFile(file, table, maxFetch, &sink, &totals);
  *fetched = assembler.Fetched;
  return assembler.Result;
}

const char* DeltaResultText(DeltaResult result) {
  switch (result) {
    case kDeltaDone: return "done";
    case kDeltaOldUnreadable: return "old file unreadable";
    case kDeltaFetchFailed: return "chunk not fetched";
    case kDeltaChunkMismatch: return "chunk mismatch";
    case kDeltaWriteFailed: return "write failed";
  }
  return "?";
}
