// The reply cache.
#include "tools/sessiond/reply_cache.h"

#include <unistd.h>

namespace sessiond {

namespace {

// Bookkeeping of one entry beside its bytes: the list node, the index
// node, the reply record and its control block, rounded up.
const size_t kEntryOverhead = 256;

}  // namespace

ChunkKey KeyOf(const tools::FileIdentity& file, uint32_t offset, uint32_t length) {
  ChunkKey key;
  key.file = file;
  key.offset = offset;
  key.length = length;
  return key;
}

size_t ChunkKeyHash::operator()(const ChunkKey& key) const {
  // FNV-1a over the fields that tell chunks of one release apart.
  const tools::FileIdentity& f = key.file;
  uint64_t fields[] = {f.device, f.inode, f.size, static_cast<uint64_t>(f.mtimeNanos),
                       static_cast<uint64_t>(f.ctimeNanos), key.offset, key.length};
  uint64_t hash = 1469598103934665603ull;
  for (uint64_t field : fields) {
    hash ^= field;
    hash *= 1099511628211ull;
  }
  return static_cast<size_t>(hash ^ (hash >> 32));
}

size_t ReplyCache::Cost(const Reply& reply) { return reply.wire.capacity() + kEntryOverhead; }

ReplyPtr ReplyCache::Get(const ChunkKey& key, const Builder& build) {
  std::shared_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      stats_.hits++;
      lru_.splice(lru_.begin(), lru_, found->second);
      return found->second->reply;
    }
    stats_.misses++;
    auto building = pending_.find(key);
    if (building != pending_.end()) {
      pending = building->second;
    } else {
      pending = std::make_shared<Pending>();
      pending_.emplace(key, pending);
      pending.reset();  // this thread builds
    }
  }
  if (pending) {
    std::unique_lock<std::mutex> wait(pending->mutex);
    pending->done.wait(wait, [&] { return pending->finished; });
    if (pending->reply) return pending->reply;
    bool ignored;
    return build(&ignored);
  }

  bool cacheable = false;
  ReplyPtr reply = build(&cacheable);
  std::shared_ptr<Pending> waiters;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto building = pending_.find(key);
    waiters = building->second;
    pending_.erase(building);
    if (cacheable && reply &&
        (reply->kind == ReplyKind::Scrambled || reply->kind == ReplyKind::Compressed))
      InsertLocked(key, reply);
  }
  {
    std::lock_guard<std::mutex> hold(waiters->mutex);
    waiters->finished = true;
    // Waiters share a reply only when it stands for the file they asked
    // about; otherwise each reads for itself.
    if (cacheable) waiters->reply = reply;
  }
  waiters->done.notify_all();
  return reply;
}

void ReplyCache::InsertLocked(const ChunkKey& key, const ReplyPtr& reply) {
  size_t cost = Cost(*reply);
  if (cost > capacity_) return;
  while (bytes_ + cost > capacity_ && !lru_.empty()) {
    const Entry& last = lru_.back();
    bytes_ -= last.cost;
    index_.erase(last.key);
    lru_.pop_back();
    stats_.evictions++;
  }
  lru_.push_front(Entry{key, reply, cost});
  index_[key] = lru_.begin();
  bytes_ += cost;
}

bool ReplyCache::Full() const {
  std::lock_guard<std::mutex> hold(mutex_);
  // Full enough that another chunk would push one out.
  return bytes_ + kSessionChunkSize + kEntryOverhead > capacity_;
}

CacheStats ReplyCache::Stats() const {
  std::lock_guard<std::mutex> hold(mutex_);
  CacheStats stats = stats_;
  stats.bytes = bytes_;
  stats.entries = lru_.size();
  return stats;
}

size_t DefaultCacheSize() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  const size_t kLeast = size_t(16) << 20, kMost = size_t(256) << 20;
  if (pages <= 0 || pageSize <= 0) return kLeast;
  size_t share = static_cast<size_t>(pages) / 8 * static_cast<size_t>(pageSize);
  return share < kLeast ? kLeast : share > kMost ? kMost : share;
}

}  // namespace sessiond
