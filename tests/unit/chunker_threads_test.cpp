// The chunker's gear table is filled by whichever thread cuts first. Threads
// that start cutting together must agree with each other and with a later
// cut; under ThreadSanitizer (tsan_tests, a fresh process where nothing cut
// before) an unsynchronised fill would also be reported.
#include "tinylib/chunker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/noise.h"

namespace {

std::vector<int32_t> Cuts(const std::vector<uint8_t>& data) {
  std::vector<int32_t> lengths;
  const int32_t size = static_cast<int32_t>(data.size());
  for (int32_t at = 0; at < size;) {
    int32_t n = ChunkLength(kChunkSizes, data.data() + at, size - at);
    if (n <= 0) break;
    lengths.push_back(n);
    at += n;
  }
  return lengths;
}

TEST(ChunkerThreads, ThreadsThatCutFirstAgree) {
  const std::vector<uint8_t> data = Noise(1 << 20, 77);
  std::vector<std::vector<int32_t>> seen(4);
  std::atomic<bool> go(false);
  std::vector<std::thread> threads;
  for (auto& cuts : seen)
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      cuts = Cuts(data);
    });
  go.store(true);
  for (std::thread& t : threads) t.join();
  const std::vector<int32_t> later = Cuts(data);
  EXPECT_GT(later.size(), 100u);
  for (const auto& cuts : seen) EXPECT_EQ(cuts, later);
}

}  // namespace
