// A byte source in memory for stream tests (inflate, mirror downloads).
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tinylib/streams.h"

namespace testsupport {

// A source over bytes in memory that honours Seek and records each call.
class MemorySource : public TBaseStream {
 public:
  explicit MemorySource(std::vector<uint8_t> data, int32_t perRead = INT32_MAX)
      : data_(std::move(data)), perRead_(perRead) {}

  int32_t Read(void* buffer, int32_t count) override {
    reads++;
    int32_t left = static_cast<int32_t>(data_.size()) - position;
    int32_t n = std::min(std::min(count, perRead_), left);
    if (n <= 0) return 0;
    memcpy(buffer, data_.data() + position, static_cast<size_t>(n));
    position += n;
    return n;
  }
  int32_t Seek(int32_t distance, uint8_t origin) override {
    seeks.push_back({distance, origin});
    int32_t base = origin == kSeekFromStart ? 0
                 : origin == kSeekFromCurrent ? position
                 : static_cast<int32_t>(data_.size());
    position = base + distance;
    return position;
  }
  std::vector<uint8_t> Rest() const {
    return std::vector<uint8_t>(data_.begin() + position, data_.end());
  }

  int32_t position = 0;
  int reads = 0;
  std::vector<std::pair<int32_t, uint8_t>> seeks;

 private:
  std::vector<uint8_t> data_;
  int32_t perRead_;
};

}  // namespace testsupport
