// Fuzz target: compressed replies and mirror objects from a hostile server.
#include <stdint.h>
#include <string.h>

#include "tinylib/streams.h"
#include "tinylib/tinyzip.h"

namespace {

class MemorySource : public TBaseStream {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int32_t Read(void* buffer, int32_t count) override {
    size_t n = size_ - pos_ < static_cast<size_t>(count) ? size_ - pos_ : static_cast<size_t>(count);
    memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<int32_t>(n);
  }
  int32_t Seek(int32_t distance, uint8_t origin) override {
    if (origin != kSeekFromCurrent) return 0;
    if (distance < 0 && static_cast<size_t>(-distance) <= pos_) pos_ -= static_cast<size_t>(-distance);
    return static_cast<int32_t>(pos_);
  }
 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class CountingSink : public TBaseStream {
 public:
  int32_t Write(void* buffer, int32_t count) override {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    for (int32_t i = 0; i < count; i++) sum_ += bytes[i];
    return count;
  }
 private:
  uint32_t sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t out[64 * 1024];
  InflateBuffer(data, static_cast<int32_t>(size), out, sizeof out);
  MemorySource source(data, size);
  CountingSink sink;
  InflateStream(source, sink);
  return 0;
}
