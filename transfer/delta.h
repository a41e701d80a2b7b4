// Delta updates: an out-of-date file whose release chunk index entry is
// known is assembled in staging from the chunks the installation already
// holds plus the missing ones, fetched as chunk objects from a mirror or as
// ranges from the session host. Anything wrong falls back to the whole file.
//
// The portable half: finding an item's entry, the assembly driver over
// callbacks (old bytes, fetch, write) and the small rules around it. The
// Windows half (delta_win.cpp) fetches the index, cuts the old files and
// carries out the steps.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "manifest/chunk_plan.h"

// The entry named name (text up to its NUL) among count entries in index
// order (strictly increasing bytes): its position, or -1.
int32_t FindIndexEntry(const ChunkIndexFile* entries, int32_t count, const char* name);

// Whether the entry describes exactly the listed file: same size, and a
// listed hash equal to the entry's. An item without a hash never takes the
// delta path: nothing would judge the assembled bytes but the index itself.
bool EntryFitsItem(const ChunkIndexFile& entry, int32_t size, bool hasHash, const uint8_t* hash);

// True when offset is where one of the file's chunks starts (or its end).
bool IsChunkBoundary(const ChunkIndexFile& file, int32_t offset);

// Slots for a table that holds every chunk of oldBytes cut with chunks of at
// least minChunk, plus listedChunks more, at most three quarters full: a
// power of two (perhaps twice that); 0 when it would pass maxSlots.
uint32_t LocalTableSlots(int64_t oldBytes, int32_t minChunk, int64_t listedChunks,
                         uint32_t maxSlots);

// "base" + '/' (unless it ends in one) + "chunks/ab/<32 hex>". False, with
// an empty text, when it does not fit.
bool ChunkObjectUrl(char* buffer, size_t capacity, const char* base,
                    const uint8_t id[kChunkIdLength]);

// What the assembly reads, fetches and writes through.
struct DeltaIo {
  void* Context;
  // length bytes of old file number file at offset into buffer.
  bool (*ReadOld)(void* context, uint32_t file, uint32_t offset, uint8_t* buffer, int32_t length);
  // The bytes of a fetch step into buffer (capacity kChunkLargest, or more
  // than the step's length): the count that arrived, -1 when nothing did.
  int32_t (*Fetch)(void* context, const ChunkStep& step, uint8_t* buffer);
  // The next bytes of the new file; end is the file offset after them when
  // that is a chunk boundary (a place to continue from), else -1.
  bool (*Write)(void* context, const uint8_t* bytes, int32_t length, int32_t end);
};

enum DeltaResult {
  kDeltaDone,
  kDeltaOldUnreadable,  // an old file no longer gives its bytes
  kDeltaFetchFailed,    // a missing chunk came from nowhere
  kDeltaChunkMismatch,  // fetched bytes are not the chunk the index names
  kDeltaWriteFailed,
};

// Builds the file of the entry from resumeOffset (a chunk boundary; the
// bytes before it are already written) to its end, in byte order: copies
// from the old files of table, fetches what is missing (maxFetch as for
// PlanChunkedFile) and checks every fetched chunk's name. buffer holds
// kChunkLargest bytes. *fetched counts the fetched bytes that were written.
DeltaResult AssembleChunkedFile(const ChunkIndexFile& file, const LocalChunkTable& table,
                                int32_t maxFetch, int32_t resumeOffset, const DeltaIo& io,
                                uint8_t* buffer, int64_t* fetched);

const char* DeltaResultText(DeltaResult result);

// ---- Windows side (delta_win.cpp) ----

struct ListedManifest;
class TSiteInfo;
struct DownloadItem;

// After PrepareUpdate: fetches the index from the manifest's own source
// (a keyed build only a signed one), matches its entries to the pending
// items, cuts the installed files and plans each item; the progress total
// then counts only the bytes to fetch. Without a usable index nothing
// changes.
void PrepareDelta(const ListedManifest& listed);
// One mirror attempt at item index: the delta path first when the item has
// one, else (or when it fails, logged once) the whole object.
void DeltaOrWholeFromSite(TSiteInfo* site, int32_t index);
// The session download of an item: the delta path first, then the whole file.
void DeltaOrWholeOverSession(DownloadItem& item);
// After the downloads: notes the bytes fetched against the files' full size.
void NoteDeltaOutcome();
