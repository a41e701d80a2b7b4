// The session host's reply cache and cheap encoding: the bound and the
// eviction order, one build per chunk, no stale reply after a file changes,
// and the word-at-a-time scrambling matching the client's.
#include "tools/sessiond/reply.h"
#include "tools/sessiond/reply_cache.h"
#include "transfer/protocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using sessiond::ChunkKey;
using sessiond::Reply;
using sessiond::ReplyCache;
using sessiond::ReplyKind;
using sessiond::ReplyPtr;

namespace {

std::vector<uint8_t> Random(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

ChunkKey Key(uint64_t inode, uint32_t offset = 0) {
  ChunkKey key;
  key.file.device = 1;
  key.file.inode = inode;
  key.file.size = 1 << 20;
  key.offset = offset;
  key.length = kSessionChunkSize;
  return key;
}

// A builder that makes a chunk reply of wireSize bytes and counts its calls.
struct Maker {
  size_t wireSize;
  ReplyKind kind = ReplyKind::Scrambled;
  bool cacheable = true;
  int calls = 0;
  ReplyCache::Builder Builder() {
    return [this](bool* ok) {
      calls++;
      *ok = cacheable;
      auto reply = std::make_shared<Reply>();
      reply->kind = kind;
      reply->wire.resize(wireSize);
      return ReplyPtr(reply);
    };
  }
};

TEST(ReplyCache, StaysWithinItsBoundAndDropsTheLeastRecentlyUsed) {
  const size_t wire = 100000;
  const size_t entryCost = ReplyCache::Cost(Reply{ReplyKind::Scrambled, 0, std::vector<uint8_t>(wire), ""});
  ReplyCache cache(entryCost * 3);
  Maker maker{wire};
  for (uint64_t inode : {1, 2, 3}) cache.Get(Key(inode), maker.Builder());
  EXPECT_EQ(maker.calls, 3);
  cache.Get(Key(1), maker.Builder());  // a hit that makes 1 the most recent
  EXPECT_EQ(maker.calls, 3);
  cache.Get(Key(4), maker.Builder());  // pushes out 2, the least recent
  EXPECT_EQ(maker.calls, 4);
  sessiond::CacheStats stats = cache.Stats();
  EXPECT_EQ(stats.entries, 3u);
  EXPECT_LE(stats.bytes, cache.capacity());
  EXPECT_EQ(stats.evictions, 1u);

  struct Probe {
    uint64_t inode;
    bool cached;
  } probes[] = {{1, true}, {3, true}, {4, true}, {2, false}};
  for (const Probe& p : probes) {
    int before = maker.calls;
    cache.Get(Key(p.inode), maker.Builder());
    EXPECT_EQ(maker.calls == before, p.cached) << "inode " << p.inode;
  }
  EXPECT_LE(cache.Stats().bytes, cache.capacity());
}

TEST(ReplyCache, KeepsOnlyWholeChunkRepliesThatFitAndWereReadUnchanged) {
  struct Case {
    const char* what;
    Maker maker;
  } cases[] = {
      {"empty reply", {4, ReplyKind::End}},
      {"missing file", {4, ReplyKind::Missing}},
      {"read error", {0, ReplyKind::ReadError}},
      {"file changed while read", {1000, ReplyKind::Scrambled, false}},
      {"larger than the whole cache", {200000, ReplyKind::Compressed}},
  };
  for (Case& c : cases) {
    ReplyCache cache(150000);
    cache.Get(Key(9), c.maker.Builder());
    cache.Get(Key(9), c.maker.Builder());
    EXPECT_EQ(c.maker.calls, 2) << c.what;
    EXPECT_EQ(cache.Stats().entries, 0u) << c.what;
  }
}

TEST(ReplyCache, ConcurrentMissesBuildOnce) {
  ReplyCache cache(1 << 20);
  std::atomic<int> calls{0};
  auto slow = [&](bool* ok) {
    calls++;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    *ok = true;
    auto reply = std::make_shared<Reply>();
    reply->wire.assign(1000, 7);
    return ReplyPtr(reply);
  };
  std::vector<ReplyPtr> got(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); i++)
    threads.emplace_back([&, i] { got[i] = cache.Get(Key(5), slow); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  for (const ReplyPtr& reply : got) EXPECT_EQ(reply, got[0]);
}

TEST(Scramble, WordAtATimeMatchesTheClient) {
  const std::vector<uint8_t> data = Random(1000, 11);
  for (size_t start : {0, 1, 3, 7}) {
    for (size_t length : {0, 1, 29, 30, 31, 119, 120, 121, 240, 997 - 7}) {
      std::vector<uint8_t> expected(data.begin() + start, data.begin() + start + length);
      Descramble(expected.data(), static_cast<int32_t>(expected.size()));
      std::vector<uint8_t> out(length + 1, 0xAA);
      sessiond::ScrambleCopy(out.data() + 1, data.data() + start, length);  // unaligned too
      EXPECT_EQ(std::vector<uint8_t>(out.begin() + 1, out.end()), expected)
          << "start " << start << " length " << length;
      EXPECT_EQ(out[0], 0xAA);
    }
  }
}

TEST(Scramble, LargeChunksAreJudgedBySample) {
  // Random bytes fail the sample and go scrambled without a full
  // compression; text passes it and goes compressed; both decode.
  std::vector<uint8_t> text;
  while (text.size() < kSessionChunkSize) {
    std::string line = "line " + std::to_string(text.size() % 977) + " of a release file\r\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  text.resize(kSessionChunkSize);
  const std::vector<uint8_t> noise = Random(kSessionChunkSize, 12);
  const std::vector<uint8_t>* inputs[] = {&text, &noise};
  for (const std::vector<uint8_t>* data : inputs) {
    Reply reply;
    sessiond::EncodeChunk(data->data(), data->size(), sessiond::CompressMode::Auto, &reply);
    EXPECT_EQ(reply.kind, data == &text ? ReplyKind::Compressed : ReplyKind::Scrambled);
    EXPECT_EQ(reply.wire.capacity(), reply.wire.size());  // nothing wasted in the cache
  }
}

// What a reply of each kind must be, byte for byte, whoever encodes it: the
// chunk XORed with the key from key byte 0, or compress2 at the default level.
std::vector<uint8_t> PlainWire(const std::vector<uint8_t>& chunk, bool compressed) {
  std::vector<uint8_t> wire(4);
  if (compressed) {
    uLongf size = compressBound(chunk.size());
    wire.resize(4 + size);
    EXPECT_EQ(compress2(wire.data() + 4, &size, chunk.data(), chunk.size(), Z_DEFAULT_COMPRESSION), Z_OK);
    wire.resize(4 + size);
  } else {
    wire.insert(wire.end(), chunk.begin(), chunk.end());
    Descramble(wire.data() + 4, static_cast<int32_t>(chunk.size()));
  }
  PutLengthWord(wire.data(), ReplyLengthWord(compressed, static_cast<int32_t>(wire.size() - 4)));
  return wire;
}

TEST(Scramble, RepliesAreByteIdenticalToThePlainEncodingOfTheirKind) {
  std::vector<uint8_t> text;
  for (int i = 0; text.size() < kSessionChunkSize; i++) {
    std::string line = "entry " + std::to_string(i) + "\r\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  text.resize(kSessionChunkSize);
  const std::vector<uint8_t> noise = Random(kSessionChunkSize, 13);
  const size_t lengths[] = {1, 1000, 70000, kSessionChunkSize};
  const std::vector<uint8_t>* inputs[] = {&text, &noise};
  for (size_t length : lengths) {
    for (const std::vector<uint8_t>* data : inputs) {
      std::vector<uint8_t> chunk(data->begin(), data->begin() + static_cast<long>(length));
      for (auto mode : {sessiond::CompressMode::Auto, sessiond::CompressMode::Always,
                        sessiond::CompressMode::Never}) {
        Reply reply;
        sessiond::EncodeChunk(chunk.data(), chunk.size(), mode, &reply);
        EXPECT_EQ(reply.wire, PlainWire(chunk, reply.kind == ReplyKind::Compressed))
            << length << " bytes, mode " << sessiond::CompressModeName(mode);
      }
    }
  }
}

class CachedFolder : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/reply-cache-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    std::string error;
    ASSERT_TRUE(release_.Open(base_.string(), &error)) << error;
  }
  void TearDown() override { fs::remove_all(base_); }

  void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(base_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // The scrambled chunk at offset 0, descrambled.
  std::vector<uint8_t> Fetch(const std::string& name, ReplyCache* cache) {
    ChunkRequest request{};
    snprintf(request.name, sizeof request.name, "%s", name.c_str());
    request.chunk = kSessionChunkSize;
    ReplyPtr reply = sessiond::BuildReply(release_, request, sessiond::CompressMode::Never, cache);
    EXPECT_EQ(reply->kind, ReplyKind::Scrambled) << reply->note;
    if (reply->wire.size() < 4) return {};
    std::vector<uint8_t> chunk(reply->wire.begin() + 4, reply->wire.end());
    Descramble(chunk.data(), static_cast<int32_t>(chunk.size()));
    return chunk;
  }

  fs::path base_;
  sessiond::ReleaseRoot release_;
};

TEST_F(CachedFolder, AChangedFileIsNeverServedFromAnOldEntry) {
  const std::vector<uint8_t> original = Random(5000, 1);
  struct Change {
    const char* what;
    std::function<void(CachedFolder*)> apply;
    std::vector<uint8_t> expected;
  };
  std::vector<uint8_t> sameSize = Random(5000, 2), longer = Random(6000, 3), renamed = Random(5000, 4);
  const Change changes[] = {
      {"rewritten in place, same size, modification time put back",
       [&](CachedFolder* f) {
         struct stat before;
         ASSERT_EQ(stat((f->base_ / "a.bin").c_str(), &before), 0);
         int fd = open((f->base_ / "a.bin").c_str(), O_WRONLY);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(pwrite(fd, sameSize.data(), sameSize.size(), 0), 5000);
         struct timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(futimens(fd, times), 0);
         close(fd);
       },
       sameSize},
      {"grown", [&](CachedFolder* f) { f->Write("a.bin", longer); }, longer},
      {"replaced by a rename",
       [&](CachedFolder* f) {
         f->Write("new.bin", renamed);
         fs::rename(f->base_ / "new.bin", f->base_ / "a.bin");
       },
       renamed},
  };
  for (const Change& change : changes) {
    Write("a.bin", original);
    ReplyCache cache(1 << 20);
    ASSERT_EQ(Fetch("a.bin", &cache), original);
    ASSERT_EQ(Fetch("a.bin", &cache), original);
    EXPECT_EQ(cache.Stats().hits, 1u) << change.what;  // the entry is used while valid
    change.apply(this);
    EXPECT_EQ(Fetch("a.bin", &cache), change.expected) << change.what;
  }
}

TEST_F(CachedFolder, AnExistingFileThatCannotBeOpenedIsAReadErrorNotAnEmptyReply) {
  Write("a.bin", Random(3000, 5));
  ReplyCache cache(1 << 20);
  ChunkRequest request{};
  snprintf(request.name, sizeof request.name, "a.bin");
  request.chunk = kSessionChunkSize;
  ReplyPtr cached = sessiond::BuildReply(release_, request, sessiond::CompressMode::Auto, &cache);
  ASSERT_EQ(cached->kind, ReplyKind::Scrambled);

  // No descriptor left: the lowest free one is at the soft limit.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  ReplyPtr uncached = sessiond::BuildReply(release_, request, sessiond::CompressMode::Auto);
  ReplyPtr fromCache = sessiond::BuildReply(release_, request, sessiond::CompressMode::Auto, &cache);
  ChunkRequest missing = request;
  snprintf(missing.name, sizeof missing.name, "gone.bin");
  ReplyPtr absent = sessiond::BuildReply(release_, missing, sessiond::CompressMode::Auto);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(uncached->kind, ReplyKind::ReadError);
  EXPECT_TRUE(uncached->wire.empty());  // nothing to send: the host closes instead
  EXPECT_EQ(fromCache, cached);         // a cached chunk needs no descriptor
  EXPECT_EQ(absent->kind, ReplyKind::Missing);
}

}  // namespace
