// Content-defined chunking: where a file is cut into chunks, decided by its
// bytes alone, so that the same bytes are cut the same way wherever they sit
// in a file and on every build (32- and 64-bit). The publisher lists each
// file's chunks; an installer cuts its old files the same way and asks only
// for the chunks it lacks.
//
// The cut is a gear hash rolled over the last 32 bytes (one table lookup, a
// shift and an add per byte) with normalized chunking: after Min bytes, a
// cut needs more zero bits of the hash until Average and fewer after it, so
// chunk lengths gather around Average; Max ends a chunk regardless.
//
//   int32_t n = ChunkLength(kChunkSizes, data, available);
//   // data must hold at least kChunkSizes.Max bytes, or the rest of the file
#pragma once

#include <stdint.h>

struct ChunkSizes {
  int32_t Min;      // no cut before this many bytes (>= 64)
  int32_t Average;  // a power of two
  int32_t Max;      // at most kChunkLargest
};

enum {
  kChunkLargest = 262144,  // one session request
  kChunkIdLength = 16,     // the chunk's name: the first 16 bytes of its SHA-256
};

// The sizes releases are published with (chosen by bench/delta_bench.sh).
extern const ChunkSizes kChunkSizes;

// True when sizes is a set ChunkLength accepts.
bool ChunkSizesValid(const ChunkSizes& sizes);

// The length of the chunk that starts at data[0]: 0 for length <= 0, else
// 1..min(length, Max). The caller passes at least Max bytes, or everything
// left of the file (the last chunk ends with the file).
int32_t ChunkLength(const ChunkSizes& sizes, const uint8_t* data, int32_t length);

// The chunk's name: the first kChunkIdLength bytes of the SHA-256 of its
// bytes. False when the system's digest fails.
bool ChunkIdOf(const void* data, int32_t length, uint8_t id[kChunkIdLength]);
