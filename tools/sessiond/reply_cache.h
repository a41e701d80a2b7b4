// The reply cache: finished replies of file chunks, so that many installers
// of one release cost one compression per chunk. Keyed by the file's identity
// and the chunk's place, bounded in bytes, least recently used out first.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "tools/common/file_identity.h"
#include "tools/sessiond/reply.h"

namespace sessiond {

// A chunk of one version of one file: a changed file never matches an old
// key (see tools::FileIdentity).
struct ChunkKey {
  tools::FileIdentity file;
  uint32_t offset = 0, length = 0;
  bool operator==(const ChunkKey& other) const {
    return file == other.file && offset == other.offset && length == other.length;
  }
};
ChunkKey KeyOf(const tools::FileIdentity& file, uint32_t offset, uint32_t length);

struct ChunkKeyHash {
  size_t operator()(const ChunkKey& key) const;
};

struct CacheStats {
  uint64_t hits = 0, misses = 0, evictions = 0;
  size_t bytes = 0, entries = 0;
};

class ReplyCache {
 public:
  // capacity: bytes of replies (and their bookkeeping) kept at most.
  explicit ReplyCache(size_t capacity) : capacity_(capacity) {}

  // The cached reply for key, or build()'s. A reply being built for the same
  // key by another thread is waited for rather than built twice. Only chunk
  // replies (Scrambled, Compressed) that fit the capacity are kept, and only
  // when build() says the file did not change while it was read.
  using Builder = std::function<ReplyPtr(bool* cacheable)>;
  ReplyPtr Get(const ChunkKey& key, const Builder& build);

  size_t capacity() const { return capacity_; }
  bool Full() const;
  CacheStats Stats() const;

  // What one entry costs against the capacity.
  static size_t Cost(const Reply& reply);

 private:
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    ReplyPtr reply;
  };
  struct Entry {
    ChunkKey key;
    ReplyPtr reply;
    size_t cost;
  };
  void InsertLocked(const ChunkKey& key, const ReplyPtr& reply);

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<ChunkKey, std::list<Entry>::iterator, ChunkKeyHash> index_;
  std::unordered_map<ChunkKey, std::shared_ptr<Pending>, ChunkKeyHash> pending_;
  size_t bytes_ = 0;
  CacheStats stats_;
};

// A sensible default capacity: an eighth of the machine's memory, at most
// 256 MiB (so that the host with 10,000 sessions stays well within half a
// GiB whatever the release) and at least 16 MiB.
size_t DefaultCacheSize();

}  // namespace sessiond
