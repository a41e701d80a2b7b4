// Assembly plans (see chunk_plan.h).
#include "manifest/chunk_plan.h"

#include <string.h>

namespace {

// The name is a digest already: its first bytes spread well.
uint32_t SlotOf(const uint8_t id[kChunkIdLength], uint32_t capacity) {
  uint32_t h = static_cast<uint32_t>(id[0]) | static_cast<uint32_t>(id[1]) << 8 |
               static_cast<uint32_t>(id[2]) << 16 | static_cast<uint32_t>(id[3]) << 24;
  return h & (capacity - 1);
}

void Emit(const ChunkPlanSink* sink, ChunkPlanTotals* totals, const ChunkStep& step) {
  if (step.ChunkCount == 0) return;
  totals->Steps++;
  if (step.Kind == kChunkStepCopy) {
    totals->CopyBytes += step.Length;
  } else {
    totals->FetchBytes += step.Length;
    totals->FetchChunks += step.ChunkCount;
  }
  if (sink != nullptr) sink->Step(sink->Context, step);
}

}  // namespace

void ResetLocalChunks(LocalChunkTable* table, LocalChunk* slots, uint32_t capacity) {
  uint32_t size = 1;
  while (size * 2 != 0 && size * 2 <= capacity) size *= 2;
  table->Slots = slots;
  table->Capacity = capacity == 0 ? 0 : size;
  table->Count = 0;
  if (table->Capacity != 0) memset(slots, 0, sizeof(LocalChunk) * table->Capacity);
}

bool AddLocalChunk(LocalChunkTable* table, const uint8_t id[kChunkIdLength], uint32_t file,
                   uint32_t offset, int32_t length) {
  if (length <= 0) return true;
  if (table->Capacity == 0) return false;
  uint32_t at = SlotOf(id, table->Capacity);
  for (;;) {
    LocalChunk& slot = table->Slots[at];
    if (slot.Length == 0) break;
    if (memcmp(slot.Id, id, kChunkIdLength) == 0) return true;
    at = (at + 1) & (table->Capacity - 1);
  }
  if (table->Count + 1 > table->Capacity / 4 * 3) return false;
  LocalChunk& slot = table->Slots[at];
  memcpy(slot.Id, id, kChunkIdLength);
  slot.File = file;
  slot.Offset = offset;
  slot.Length = length;
  table->Count++;
  return true;
}

const LocalChunk* FindLocalChunk(const LocalChunkTable& table, const uint8_t id[kChunkIdLength]) {
  if (table.Capacity == 0) return nullptr;
  uint32_t at = SlotOf(id, table.Capacity);
  // The load stays under three quarters, so an empty slot ends every probe.
  for (;;) {
    const LocalChunk& slot = table.Slots[at];
    if (slot.Length == 0) return nullptr;
    if (memcmp(slot.Id, id, kChunkIdLength) == 0) return &slot;
    at = (at + 1) & (table.Capacity - 1);
  }
}

bool AddLocalChunks(LocalChunkTable* table, const ChunkSizes& sizes, uint32_t file,
                    uint32_t offset, const uint8_t* data, int32_t length, bool atEnd,
                    int32_t* used) {
  int32_t at = 0;
  *used = 0;
  while (at < length && (atEnd || length - at >= sizes.Max)) {
    int32_t n = ChunkLength(sizes, data + at, length - at);
    uint8_t id[kChunkIdLength];
    if (!ChunkIdOf(data + at, n, id) ||
        !AddLocalChunk(table, id, file, offset + static_cast<uint32_t>(at), n)) {
      return false;
    }
    at += n;
    *used = at;
  }
  return true;
}

void PlanChunkedFile(const ChunkIndexFile& file, const LocalChunkTable& table, int32_t maxFetch,
                     const ChunkPlanSink* sink, ChunkPlanTotals* totals) {
  memset(totals, 0, sizeof *totals);
  ChunkStep run;
  memset(&run, 0, sizeof run);
  int32_t newOffset = 0;
  for (int32_t i = 0; i < file.ChunkCount; i++) {
    const int32_t length = ChunkIndexChunkLength(file, i);
    const LocalChunk* have = FindLocalChunk(table, ChunkIndexChunkId(file, i));
    if (have != nullptr && have->Length != length) have = nullptr;  // same name, other length: not ours
    bool extends;
    if (have != nullptr) {
      extends = run.ChunkCount > 0 && run.Kind == kChunkStepCopy && run.File == have->File &&
                run.FromOffset + static_cast<uint32_t>(run.Length) == have->Offset;
    } else {
      extends = run.ChunkCount > 0 && run.Kind == kChunkStepFetch && maxFetch > 0 &&
                run.Length + length <= maxFetch;
    }
    if (!extends) {
      Emit(sink, totals, run);
      run.Kind = have != nullptr ? kChunkStepCopy : kChunkStepFetch;
      run.NewOffset = newOffset;
      run.Length = 0;
      run.FirstChunk = i;
      run.ChunkCount = 0;
      run.File = have != nullptr ? have->File : 0;
      run.FromOffset = have != nullptr ? have->Offset : 0;
    }
    run.Length += length;
    run.ChunkCount++;
    newOffset += length;
  }
  Emit(sink, totals, run);
}
