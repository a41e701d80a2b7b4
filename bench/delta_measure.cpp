// The byte figures of a delta update that need no installer: given the
// installed files (OLD) and the new release (NEW), what an update fetches
// as whole-file zlib objects and as missing chunk objects plus the chunk
// index, for several chunk sizes; and how fast the chunker cuts.
//
//   delta_measure OLD NEW [AVERAGE[:MIN:MAX]...]   key=value lines on standard output
//
// Without MIN and MAX a size set is AVERAGE/4, AVERAGE, AVERAGE*4.
//
// A file counts as out of date when NEW holds other bytes under its name
// (or OLD lacks it). Chunks come from every file of OLD, so moved and
// renamed files cost nothing. Each missing chunk is fetched once.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "manifest/chunk_index.h"
#include "tinylib/chunker.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;  // relative name: bytes

Files ReadTree(const fs::path& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    files[entry.path().lexically_relative(root).string()] = s.str();
  }
  return files;
}

size_t Deflated(const char* data, size_t size) {
  uLongf length = compressBound(static_cast<uLong>(size));
  std::vector<Bytef> out(length);
  compress2(out.data(), &length, reinterpret_cast<const Bytef*>(data), static_cast<uLong>(size), 9);
  return length;
}

template <typename Visit>
void Cut(const ChunkSizes& sizes, const std::string& bytes, Visit visit) {
  size_t at = 0;
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  while (at < bytes.size()) {
    size_t left = std::min(bytes.size() - at, static_cast<size_t>(sizes.Max));
    int32_t n = ChunkLength(sizes, data + at, static_cast<int32_t>(left));
    visit(data + at, n);
    at += static_cast<size_t>(n);
  }
}

std::string IdOf(const uint8_t* data, int32_t n) {
  uint8_t id[kChunkIdLength];
  ChunkIdOf(data, n, id);
  return std::string(reinterpret_cast<char*>(id), kChunkIdLength);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: delta_measure OLD NEW [AVERAGE...]\n");
    return 2;
  }
  const Files old = ReadTree(argv[1]);
  const Files fresh = ReadTree(argv[2]);
  std::vector<ChunkSizes> sets;
  for (int i = 3; i < argc; i++) {
    int average = 0, min = 0, max = 0;
    int n = sscanf(argv[i], "%d:%d:%d", &average, &min, &max);
    if (n != 3) {
      min = average / 4;
      max = std::min(average * 4, int{kChunkLargest});
    }
    sets.push_back({min, average, max});
  }
  if (sets.empty()) sets.push_back(kChunkSizes);

  uint64_t oldBytes = 0, newBytes = 0, changedBytes = 0, wholeObjects = 0;
  size_t changed = 0, added = 0;
  std::vector<const std::string*> outOfDate;
  for (const auto& [name, bytes] : old) oldBytes += bytes.size();
  for (const auto& [name, bytes] : fresh) {
    newBytes += bytes.size();
    auto it = old.find(name);
    if (it != old.end() && it->second == bytes) continue;
    ++(it == old.end() ? added : changed);
    changedBytes += bytes.size();
    wholeObjects += Deflated(bytes.data(), bytes.size());
    outOfDate.push_back(&bytes);
  }
  printf("old_bytes=%llu new_bytes=%llu files_changed=%zu files_new=%zu out_of_date_bytes=%llu "
         "whole_objects=%llu\n",
         (unsigned long long)oldBytes, (unsigned long long)newBytes, changed, added,
         (unsigned long long)changedBytes, (unsigned long long)wholeObjects);

  // The chunker alone, and with the chunk names an installer computes, over
  // the installed files in memory.
  {
    auto start = std::chrono::steady_clock::now();
    size_t chunks = 0;
    for (const auto& [name, bytes] : old) Cut(kChunkSizes, bytes, [&](const uint8_t*, int32_t) { chunks++; });
    double cut = Seconds(start);
    start = std::chrono::steady_clock::now();
    for (const auto& [name, bytes] : old)
      Cut(kChunkSizes, bytes, [&](const uint8_t* d, int32_t n) { IdOf(d, n); });
    double named = Seconds(start);
    printf("chunker_mbps=%.0f chunker_with_sha256_mbps=%.0f chunks=%zu\n", oldBytes / cut / 1e6,
           oldBytes / named / 1e6, chunks);
  }

  for (const ChunkSizes& sizes : sets) {
    if (!ChunkSizesValid(sizes)) {
      fprintf(stderr, "delta_measure: %d:%d:%d are no valid sizes\n", sizes.Average, sizes.Min,
              sizes.Max);
      return 2;
    }
    std::unordered_set<std::string> have;
    for (const auto& [name, bytes] : old)
      Cut(sizes, bytes, [&](const uint8_t* d, int32_t n) { have.insert(IdOf(d, n)); });
    uint64_t fetched = 0, fetchedRaw = 0, index = kChunkIndexHeaderSize;
    size_t fetchedChunks = 0, chunks = 0;
    for (const auto& [name, bytes] : fresh) {
      index += 1 + name.size() + 4 + kSha256Size + 4;
      Cut(sizes, bytes, [&](const uint8_t*, int32_t) { chunks++; });
    }
    index += chunks * kChunkRecordSize;
    for (const std::string* bytes : outOfDate) {
      Cut(sizes, *bytes, [&](const uint8_t* d, int32_t n) {
        if (!have.insert(IdOf(d, n)).second) return;
        fetchedChunks++;
        fetchedRaw += static_cast<uint64_t>(n);
        fetched += Deflated(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
      });
    }
    printf("average=%d min=%d max=%d chunks=%zu index=%llu fetched_chunks=%zu fetched_raw=%llu "
           "fetched=%llu delta_total=%llu\n",
           sizes.Average, sizes.Min, sizes.Max, chunks, (unsigned long long)index, fetchedChunks,
           (unsigned long long)fetchedRaw, (unsigned long long)fetched,
           (unsigned long long)(fetched + index));
    fflush(stdout);
  }
  return 0;
}
