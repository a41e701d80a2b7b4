// The load client's ceiling: decoding and checking without a network.
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <thread>

#include "bench/load_client.h"
#include "transfer/protocol.h"

// The scramble key lines up with 8-byte words every 120 bytes: XOR a word at
// a time so that the client's own cost stays small beside the server's.
void DescrambleCopy(uint8_t* to, const uint8_t* from, size_t count) {
  static uint64_t pattern[15];
  static bool ready = false;
  if (!ready) {
    uint8_t bytes[120];
    for (size_t i = 0; i < 120; i++) bytes[i] = static_cast<uint8_t>(kScrambleKey[i % kScrambleKeyLength]);
    memcpy(pattern, bytes, sizeof pattern);
    ready = true;
  }
  size_t i = 0;
  for (; i + 120 <= count; i += 120)
    for (size_t w = 0; w < 15; w++) {
      uint64_t word;
      memcpy(&word, from + i + w * 8, 8);
      word ^= pattern[w];
      memcpy(to + i + w * 8, &word, 8);
    }
  for (size_t k = 0; i < count; i++, k++) to[i] = from[i] ^ static_cast<uint8_t>(kScrambleKey[k % kScrambleKeyLength]);
}

// The client's own ceiling, without a network or a server: every thread
// decodes and checks the release over and over for two seconds, from replies
// encoded as the host encodes them (session) or from whole-file zlib streams
// as the publisher writes them (HTTP).
int DecodeOnly(int threads, bool http) {
  std::vector<std::vector<uint8_t>> encoded;  // per file: replies, or one stream
  std::vector<std::vector<std::pair<bool, size_t>>> frames;  // compressed?, payload size
  uint64_t releaseBytes = 0;
  for (const File& f : g_files) {
    releaseBytes += f.bytes.size();
    std::vector<uint8_t> out;
    std::vector<std::pair<bool, size_t>> list;
    if (http) {
      uLongf size = compressBound(f.bytes.size());
      out.resize(size);
      compress2(out.data(), &size, f.bytes.data(), f.bytes.size(), 9);
      out.resize(size);
    } else {
      for (size_t at = 0; at < f.bytes.size(); at += kSessionChunkSize) {
        size_t length = std::min<size_t>(kSessionChunkSize, f.bytes.size() - at);
        uLongf size = compressBound(length);
        std::vector<uint8_t> packed(size);
        compress2(packed.data(), &size, f.bytes.data() + at, length, Z_DEFAULT_COMPRESSION);
        bool compress = size < length;
        if (compress) {
          out.insert(out.end(), packed.begin(), packed.begin() + static_cast<long>(size));
        } else {
          size_t was = out.size();
          out.resize(was + length);
          DescrambleCopy(out.data() + was, f.bytes.data() + at, length);
        }
        list.emplace_back(compress, compress ? size : length);
      }
    }
    encoded.push_back(std::move(out));
    frames.push_back(std::move(list));
  }
  std::atomic<uint64_t> total{0};
  double start = Now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; t++) {
    pool.emplace_back([&] {
      std::vector<uint8_t> scratch(kSessionReceiveCapacity);
      while (Now() - start < 2) {
        for (size_t i = 0; i < g_files.size(); i++) {
          const File& f = g_files[i];
          if (http) {
            z_stream z{};
            inflateInit(&z);
            z.next_in = encoded[i].data();
            z.avail_in = static_cast<uInt>(encoded[i].size());
            size_t offset = 0;
            int rc = Z_OK;
            while (rc == Z_OK) {
              z.next_out = scratch.data();
              z.avail_out = static_cast<uInt>(scratch.size());
              rc = inflate(&z, Z_NO_FLUSH);
              size_t got = scratch.size() - z.avail_out;
              if (memcmp(f.bytes.data() + offset, scratch.data(), got) != 0) g_errors++;
              offset += got;
            }
            inflateEnd(&z);
          } else {
            size_t at = 0, offset = 0;
            for (const auto& frame : frames[i]) {
              size_t got = frame.second;
              if (frame.first) {
                uLongf produced = kSessionChunkSize;
                uncompress(scratch.data(), &produced, encoded[i].data() + at, frame.second);
                got = produced;
              } else {
                DescrambleCopy(scratch.data(), encoded[i].data() + at, frame.second);
              }
              if (memcmp(f.bytes.data() + offset, scratch.data(), got) != 0) g_errors++;
              at += frame.second;
              offset += got;
            }
          }
          total += f.bytes.size();
        }
      }
    });
  }
  for (auto& t : pool) t.join();
  double seconds = Now() - start;
  printf("decode_only=%s threads=%d release_bytes=%llu mbps=%.1f errors=%llu\n",
         http ? "http" : "session", threads, static_cast<unsigned long long>(releaseBytes),
         static_cast<double>(total.load()) / 1e6 / seconds,
         static_cast<unsigned long long>(g_errors.load()));
  return g_errors.load() == 0 ? 0 : 1;
}

