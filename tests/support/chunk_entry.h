// The index entry the publisher would write for some bytes, for tests of
// the assembly plans and the delta path.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "manifest/chunk_index.h"
#include "tinylib/chunker.h"

struct ChunkEntry {
  std::vector<uint8_t> records;
  uint8_t digest[kSha256Size] = {};  // zeros: no test here judges the whole file
  ChunkIndexFile file;
  std::vector<int32_t> ends;  // where each chunk ends
  explicit ChunkEntry(const std::vector<uint8_t>& bytes, const char* name = "new") {
    size_t at = 0;
    int32_t count = 0;
    while (at < bytes.size()) {
      int32_t left = static_cast<int32_t>(std::min<size_t>(bytes.size() - at, kChunkSizes.Max));
      int32_t n = ChunkLength(kChunkSizes, bytes.data() + at, left);
      uint8_t record[kChunkRecordSize] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                          static_cast<uint8_t>(n >> 16)};
      ChunkIdOf(bytes.data() + at, n, record + 3);
      records.insert(records.end(), record, record + kChunkRecordSize);
      at += static_cast<size_t>(n);
      ends.push_back(static_cast<int32_t>(at));
      count++;
    }
    file = {name, static_cast<int32_t>(strlen(name)), static_cast<int32_t>(bytes.size()), digest,
            count, records.data()};
  }
};
