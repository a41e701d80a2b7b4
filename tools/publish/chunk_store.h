// The release chunk index and the mirror's chunk objects: every file cut
// with the installer's own chunker, its chunks listed in files.ver.idx
// beside files.ver, and with a mirror each chunk stored once as a zlib
// object named by its content (manifest/chunk_index.h), which never changes
// once written, so that a CDN may cache it for ever.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "manifest/chunk_index.h"
#include "tools/publish/options.h"
#include "tools/publish/release_scan.h"

namespace publish {

extern const char kChunkIndexName[];           // files.ver.idx
extern const char kChunkIndexSignatureName[];  // files.ver.idx.sig

struct ChunkRecord {
  int32_t length = 0;
  uint8_t id[kChunkIdLength] = {};
};

struct ChunkCounts {
  size_t written = 0;   // chunk objects compressed anew
  size_t kept = 0;      // already on the mirror
  size_t pruned = 0;    // removed by --prune
  size_t distinct = 0;  // distinct chunks of the release
  uint64_t objectBytes = 0;  // disk bytes of the release's chunk objects
};

class ChunkJob {
 public:
  // sourceFd: the release folder's descriptor, which files are opened below.
  ChunkJob(const Options& options, int sourceFd) : options_(options), sourceFd_(sourceFd) {}

  // Reads and cuts every file (whose SHA-256 the mirror pass found; a file
  // that changed since is refused); with a mirror, writes the chunk objects
  // it lacks (temporary name, then rename). False with reasons in *errors.
  bool Cut(const std::vector<FileEntry>& files, std::vector<std::string>* errors);

  // The index for the files of the last Cut, bound to the manifest's bytes.
  // Read back with the installer's parser; empty when that fails. One over
  // kChunkIndexLimit is returned unread.
  std::string IndexBytes(const std::string& manifest) const;

  // Removes chunk objects (chunks/XX/<32 hex digits>) that the last Cut did
  // not name. Nothing else in the folder is touched.
  bool Prune(std::vector<std::string>* errors);

  const ChunkCounts& counts() const { return counts_; }

 private:
  const Options& options_;
  const int sourceFd_;
  const std::vector<FileEntry>* files_ = nullptr;
  std::vector<std::vector<ChunkRecord>> chunks_;  // per file
  std::set<std::string> named_;  // object names of the release
  ChunkCounts counts_;
};

// The chunks of one file's bytes, with the installer's sizes.
std::vector<ChunkRecord> CutBytes(const uint8_t* data, size_t size, const ChunkSizes& sizes);

// The index bytes for files (names as in files.ver) and their chunks.
std::string ChunkIndexBytes(const std::vector<const FileEntry*>& files,
                            const std::vector<const std::vector<ChunkRecord>*>& chunks,
                            const ChunkSizes& sizes, const uint8_t manifestHash[kSha256Size]);

// Writes files.ver.idx and, when signature is not empty, files.ver.idx.sig,
// each through a temporary file and a rename. An empty index removes both.
bool WriteChunkIndex(const std::filesystem::path& folder, const std::string& index,
                     const std::string& signature, std::string* error);

}  // namespace publish
