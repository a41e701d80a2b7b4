// A hostile writer of a release folder: exchanges a real file or folder of
// the release with a symbolic link parked outside it, over and over
// (renameat2 RENAME_EXCHANGE, so the name always exists), on its own thread
// until stopped or until its bound of exchanges.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

class LinkSwapper {
 public:
  using Pair = std::pair<std::filesystem::path, std::filesystem::path>;
  explicit LinkSwapper(std::vector<Pair> pairs, long bound = 20000000)
      : pairs_(std::move(pairs)), flipped_(pairs_.size(), false), thread_([this, bound] {
          for (long i = 0; i < bound && !stop_.load(); i++) {
            size_t which = static_cast<size_t>(i) % pairs_.size();
            if (Exchange(pairs_[which])) {
              flipped_[which] = !flipped_[which];
              swaps_++;
            } else {
              failures_++;
            }
          }
        }) {}
  // Stops, and leaves every pair as it was at the start.
  ~LinkSwapper() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    for (size_t i = 0; i < pairs_.size(); i++)
      if (flipped_[i]) EXPECT_TRUE(Exchange(pairs_[i]));
  }
  long swaps() const { return swaps_; }
  long failures() const { return failures_; }

 private:
  static bool Exchange(const Pair& pair) {
    return renameat2(AT_FDCWD, pair.first.c_str(), AT_FDCWD, pair.second.c_str(),
                     RENAME_EXCHANGE) == 0;
  }
  std::vector<Pair> pairs_;
  std::vector<bool> flipped_;  // touched by the thread only, read after it ended
  std::atomic<bool> stop_{false};
  std::atomic<long> swaps_{0}, failures_{0};
  std::thread thread_;
};
