// Content-defined chunking (see chunker.h).
#include "tinylib/chunker.h"

#include <string.h>

#include <atomic>

#include "tinylib/sha256.h"

// Measured on the generated update of bench/delta_bench.sh (see README).
const ChunkSizes kChunkSizes = {1024, 4096, 16384};

namespace {

// The gear table: 256 pseudo-random words from a fixed seed. It is filled
// on first use, not stored, which keeps 1 KiB out of the installer. Threads
// that race to fill it store the very same words, so each word is a relaxed
// atomic (a plain load on x86) and the fill needs no lock.
std::atomic<uint32_t> Gear[256];
std::atomic<bool> GearFilled;

void FillGear() {
  uint64_t state = 0x5045'4c4c'494e'4f52ull;  // any fixed seed; changing it re-cuts every file
  for (int i = 0; i < 256; i++) {
    // splitmix64
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    Gear[i].store(static_cast<uint32_t>(z >> 32), std::memory_order_relaxed);
  }
  GearFilled.store(true, std::memory_order_release);
}

inline uint32_t GearOf(uint8_t byte) { return Gear[byte].load(std::memory_order_relaxed); }

// The hash shifts left once a byte, so its top bits depend on the last 32
// bytes and its low bits on the last few only: masks take the top bits.
uint32_t TopBits(int bits) { return bits <= 0 ? 0 : 0xFFFFFFFFu << (32 - bits); }

int Log2(int32_t value) {
  int bits = 0;
  while ((int32_t{1} << (bits + 1)) <= value) bits++;
  return bits;
}

}  // namespace

bool ChunkSizesValid(const ChunkSizes& s) {
  return s.Min >= 64 && s.Average > s.Min && s.Max > s.Average && s.Max <= kChunkLargest &&
         (s.Average & (s.Average - 1)) == 0;
}

int32_t ChunkLength(const ChunkSizes& sizes, const uint8_t* data, int32_t length) {
  if (length <= 0) return 0;
  if (length <= sizes.Min) return length;
  const int32_t end = length < sizes.Max ? length : sizes.Max;
  const int32_t middle = sizes.Average < end ? sizes.Average : end;
  // Two bits harder before Average, two easier after it.
  const int bits = Log2(sizes.Average);
  const uint32_t hardMask = TopBits(bits + 2);
  const uint32_t easyMask = TopBits(bits - 2);

  // The hash is warmed over the 32 bytes before Min, so that a cut depends
  // on the bytes before it only, not on where the chunk began.
  if (!GearFilled.load(std::memory_order_acquire)) FillGear();
  uint32_t hash = 0;
  int32_t i = sizes.Min - 32;
  for (; i < sizes.Min; i++) hash = (hash << 1) + GearOf(data[i]);
  for (; i < middle; i++) {
    hash = (hash << 1) + GearOf(data[i]);
    if ((hash & hardMask) == 0) return i + 1;
  }
  for (; i < end; i++) {
    hash = (hash << 1) + GearOf(data[i]);
    if ((hash & easyMask) == 0) return i + 1;
  }
  return end;
}

bool ChunkIdOf(const void* data, int32_t length, uint8_t id[kChunkIdLength]) {
  uint8_t digest[kSha256Length];
  if (!Sha256Of(data, length, digest)) return false;
  memcpy(id, digest, kChunkIdLength);
  return true;
}
