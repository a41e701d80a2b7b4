// Assembly of a new file from chunks: which of its chunks the installation
// already holds (in any installed file, so a moved or renamed file costs
// nothing) and which must be fetched. Pure logic over memory; the caller
// reads the old files, fetches and writes.
//
//   LocalChunkTable table;                 // slots from the caller
//   ResetLocalChunks(&table, slots, capacity);
//   AddLocalChunks(&table, sizes, file, offset, buffer, n, atEnd, &used);  // per read
//   PlanChunkedFile(entry, table, kChunkLargest, &sink, &totals);
#pragma once

#include <stdint.h>

#include "manifest/chunk_index.h"

// A chunk some installed file holds.
struct LocalChunk {
  uint8_t Id[kChunkIdLength];
  uint32_t File;    // the caller's number of the old file
  uint32_t Offset;  // where in it
  int32_t Length;   // 0: an empty slot
};

// Chunks by name, open addressing in the caller's slots.
struct LocalChunkTable {
  LocalChunk* Slots;
  uint32_t Capacity;  // a power of two
  uint32_t Count;
};

// Empties the table over capacity slots (rounded down to a power of two).
void ResetLocalChunks(LocalChunkTable* table, LocalChunk* slots, uint32_t capacity);

// Adds one chunk; a name already there keeps its first place. False when the
// table is three quarters full (the chunk is then not added).
bool AddLocalChunk(LocalChunkTable* table, const uint8_t id[kChunkIdLength], uint32_t file,
                   uint32_t offset, int32_t length);

const LocalChunk* FindLocalChunk(const LocalChunkTable& table, const uint8_t id[kChunkIdLength]);

// Cuts length bytes of an old file, which start at offset in it, into
// chunks and adds them. Without atEnd the bytes after the last full chunk
// that may still grow (fewer than sizes.Max) are left: *used says how many
// bytes were taken, and the caller passes the rest again with more behind
// it. False when the table is full or the digest fails.
bool AddLocalChunks(LocalChunkTable* table, const ChunkSizes& sizes, uint32_t file,
                    uint32_t offset, const uint8_t* data, int32_t length, bool atEnd,
                    int32_t* used);

enum ChunkStepKind { kChunkStepCopy, kChunkStepFetch };

// A run of the new file's chunks: copied from one old file where they lie
// back to back, or fetched as one range.
struct ChunkStep {
  ChunkStepKind Kind;
  int32_t NewOffset;   // where in the new file
  int32_t Length;
  int32_t FirstChunk;  // index entry chunks FirstChunk .. +ChunkCount
  int32_t ChunkCount;
  uint32_t File;        // copy: the old file
  uint32_t FromOffset;  // copy: where in it
};

struct ChunkPlanSink {
  void* Context;
  void (*Step)(void* context, const ChunkStep& step);
};

struct ChunkPlanTotals {
  int64_t CopyBytes;
  int64_t FetchBytes;
  int32_t FetchChunks;
  int32_t Steps;
};

// Plans the new file of the index entry in order of its bytes. A fetch step
// covers adjacent missing chunks up to maxFetch bytes (kChunkLargest: one
// session request); a maxFetch of 0 makes every missing chunk its own step
// (one mirror object each). sink may be null to count only.
void PlanChunkedFile(const ChunkIndexFile& file, const LocalChunkTable& table, int32_t maxFetch,
                     const ChunkPlanSink* sink, ChunkPlanTotals* totals);
