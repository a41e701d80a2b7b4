// The progress line of a long run: files and bytes read so far, the rate
// and the time left, redrawn on standard error about twice a second.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace publish {

// "12/345 files, 1.2/3.4 GiB, 85.3 MiB/s, 0:42 left"; the rate and the time
// left need a moment of reading first.
std::string ProgressLine(size_t filesDone, size_t files, uint64_t bytesDone, uint64_t bytes,
                         double seconds);

// Counts from the workers; draws only when enabled (a terminal, no --quiet),
// so counting costs two atomic adds either way.
class Progress {
 public:
  Progress(bool enabled, size_t files, uint64_t bytes);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void AddBytes(uint64_t count) { bytes_ += count; }
  void FileDone() { files_++; }
  // Ends the drawing and clears the line.
  void Stop();

 private:
  void Draw(bool last);

  const size_t fileTotal_;
  const uint64_t byteTotal_;
  std::atomic<size_t> files_{0};
  std::atomic<uint64_t> bytes_{0};
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  size_t drawnWidth_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::thread drawer_;
};

// Standard error is a terminal.
bool ProgressWanted(bool quiet);

}  // namespace publish
