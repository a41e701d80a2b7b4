// Work spread over threads, for the server tools.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace tools {

// Runs work(i, worker) for every index below count on jobs threads (0: one
// per core); worker numbers run from 0 to the threads used.
template <typename Work>
void RunParallel(unsigned jobs, size_t count, Work work) {
  if (jobs == 0) jobs = std::thread::hardware_concurrency();
  if (jobs == 0) jobs = 1;
  if (jobs > count) jobs = static_cast<unsigned>(std::max<size_t>(count, 1));
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (unsigned worker = 0; worker < jobs; worker++) {
    pool.emplace_back([&, worker] {
      for (size_t i = next++; i < count; i = next++) work(i, worker);
    });
  }
  for (auto& thread : pool) thread.join();
}

}  // namespace tools
