// Inflate helpers: complete, cut, corrupt and foreign data, sinks that fail,
// sources that deliver little at a time, and where the source is left.
#include "tinylib/tinyzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tinylib/streams.h"
#include "tests/support/memory_source.h"

namespace {

typedef std::vector<uint8_t> Bytes;
using testsupport::MemorySource;

// A sink that keeps what it is given. From write number failFrom on (counting
// from 0) it answers failResult instead of taking the bytes.
class RecordingSink : public TBaseStream {
 public:
  int32_t Write(void* buffer, int32_t count) override {
    if (static_cast<int>(writes.size()) >= failFrom) {
      writes.push_back(count);
      return failResult(count);
    }
    writes.push_back(count);
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    bytes.insert(bytes.end(), p, p + count);
    return count;
  }

  Bytes bytes;
  std::vector<int32_t> writes;
  int failFrom = INT32_MAX;
  int32_t (*failResult)(int32_t count) = [](int32_t) { return -1; };
};

// Data that compresses somewhat (fewer distinct bytes, some repeats), so that
// both the compressed and the inflated forms can span several steps.
Bytes SampleData(size_t size, uint32_t seed, int alphabet) {
  Bytes data(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<uint8_t>('a' + (x >> 16) % static_cast<uint32_t>(alphabet));
  }
  return data;
}

Bytes Deflate(const Bytes& data, int windowBits = MAX_WBITS, const Bytes* dictionary = nullptr) {
  z_stream z;
  memset(&z, 0, sizeof z);
  EXPECT_EQ(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  if (dictionary) {
    EXPECT_EQ(deflateSetDictionary(&z, dictionary->data(), static_cast<uInt>(dictionary->size())),
              Z_OK);
  }
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool IsPrefixOf(const Bytes& prefix, const Bytes& whole) {
  return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

}  // namespace

TEST(InflateStream, RoundTripsWholeStreams) {
  struct Case {
    const char* name;
    Bytes data;
    int32_t perRead;
  } cases[] = {
      {"small", SampleData(100, 1, 4), INT32_MAX},
      {"exactly one output step", SampleData(32768, 2, 4), INT32_MAX},
      {"many output steps", SampleData(300000, 3, 3), INT32_MAX},
      {"many input steps", SampleData(200000, 4, 256), INT32_MAX},
      {"one byte per read", SampleData(70000, 5, 8), 1},
      {"odd read sizes", SampleData(100000, 6, 64), 999},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes compressed = Deflate(c.data);
    MemorySource source(compressed, c.perRead);
    RecordingSink sink;
    EXPECT_EQ(InflateStream(source, sink), static_cast<int32_t>(c.data.size()));
    EXPECT_TRUE(sink.bytes == c.data);
    EXPECT_EQ(source.position, static_cast<int32_t>(compressed.size()));
    EXPECT_TRUE(source.seeks.empty());  // nothing was read past the end
    for (int32_t n : sink.writes) EXPECT_LE(n, 32768);
  }
}

TEST(InflateStream, HandsBackWhatFollowsTheStream) {
  const Bytes tail = {'T', 'A', 'I', 'L', 0, 0xFF};
  struct Case {
    const char* name;
    Bytes data;
    int32_t perRead;
  } cases[] = {
      {"stream within the first read", SampleData(5000, 7, 4), INT32_MAX},
      {"stream over several reads", SampleData(120000, 8, 256), INT32_MAX},
      {"stream over odd reads", SampleData(120000, 9, 256), 4099},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes compressed = Deflate(c.data);
    MemorySource source(Concat(compressed, tail), c.perRead);
    RecordingSink sink;
    EXPECT_EQ(InflateStream(source, sink), static_cast<int32_t>(c.data.size()));
    EXPECT_TRUE(sink.bytes == c.data);
    ASSERT_EQ(source.seeks.size(), 1u);
    EXPECT_LT(source.seeks[0].first, 0);
    EXPECT_EQ(source.seeks[0].second, kSeekFromCurrent);
    EXPECT_EQ(source.position, static_cast<int32_t>(compressed.size()));
    EXPECT_TRUE(source.Rest() == tail);
  }
}

TEST(InflateStream, EmptySourceNeverCallsTheSink) {
  MemorySource source(Bytes{});
  RecordingSink sink;
  EXPECT_EQ(InflateStream(source, sink), 0);
  EXPECT_TRUE(sink.writes.empty());
  EXPECT_EQ(source.reads, 1);
}

TEST(InflateStream, StreamOfNothingStillWritesOnce) {
  // A sink that creates its file on the first Write must get that Write.
  MemorySource source(Deflate(Bytes{}));
  RecordingSink sink;
  EXPECT_EQ(InflateStream(source, sink), 0);
  EXPECT_EQ(sink.writes, std::vector<int32_t>{0});
}

TEST(InflateStream, CutStreamFailsAfterWritingEarlierOutput) {
  const Bytes data = SampleData(200000, 10, 256);
  const Bytes compressed = Deflate(data);
  struct Case {
    const char* name;
    size_t keep;
    bool someOutput;
  } cases[] = {
      {"header only", 2, false},
      {"cut in the middle", compressed.size() / 2, true},
      {"trailer missing one byte", compressed.size() - 1, true},
      {"trailer missing", compressed.size() - 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(Bytes(compressed.begin(), compressed.begin() + c.keep));
    RecordingSink sink;
    EXPECT_EQ(InflateStream(source, sink), -1);
    EXPECT_TRUE(IsPrefixOf(sink.bytes, data));
    EXPECT_EQ(!sink.bytes.empty(), c.someOutput);
  }
}

TEST(InflateStream, RejectsCorruptAndForeignData) {
  const Bytes data = SampleData(50000, 11, 16);
  Bytes badAdler = Deflate(data);
  badAdler.back() ^= 0x01;
  Bytes badHeader = Deflate(data);
  badHeader[0] = 0x79;  // not deflate with a 32 KiB window
  Bytes badBlock = Deflate(data);
  badBlock[2] |= 0x06;  // first block type 3, which does not exist
  const Bytes dictionary = SampleData(64, 12, 16);
  struct Case {
    const char* name;
    Bytes input;
  } cases[] = {
      {"bad adler", badAdler},
      {"bad header", badHeader},
      {"bad block type", badBlock},
      {"raw deflate without header", Deflate(data, -MAX_WBITS)},
      {"gzip wrapper", Deflate(data, MAX_WBITS + 16)},
      {"needs a preset dictionary", Deflate(data, MAX_WBITS, &dictionary)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(c.input);
    RecordingSink sink;
    EXPECT_EQ(InflateStream(source, sink), -1);
    EXPECT_TRUE(IsPrefixOf(sink.bytes, data));
    // A bad trailer is found after all data came out, in the call that reads
    // it; that call's output is held back, so the file is never complete.
    EXPECT_LT(sink.bytes.size(), data.size());
    EXPECT_EQ(InflateBuffer(c.input.data(), static_cast<int32_t>(c.input.size()),
                            Bytes(data.size()).data(), static_cast<int32_t>(data.size())),
              -1);
  }
}

TEST(InflateStream, SinkThatDoesNotTakeEverythingFails) {
  const Bytes data = SampleData(100000, 13, 4);
  const Bytes compressed = Deflate(data);
  struct Case {
    const char* name;
    int failFrom;
    int32_t (*result)(int32_t);
  } cases[] = {
      {"first write fails", 0, [](int32_t) { return -1; }},
      {"second write fails", 1, [](int32_t) { return -1; }},
      {"short write", 1, [](int32_t n) { return n / 2; }},
      {"write that does nothing", 0, [](int32_t) { return 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(compressed);
    RecordingSink sink;
    sink.failFrom = c.failFrom;
    sink.failResult = c.result;
    EXPECT_EQ(InflateStream(source, sink), -1);
    // It stops at the first refusal.
    EXPECT_EQ(sink.writes.size(), static_cast<size_t>(c.failFrom) + 1);
  }
}

TEST(InflateBuffer, NeedsTheWholeResultToFit) {
  const Bytes data = SampleData(70000, 14, 8);
  const Bytes compressed = Deflate(data);
  const int32_t size = static_cast<int32_t>(data.size());
  const int32_t length = static_cast<int32_t>(compressed.size());

  Bytes out(data.size() + 1);
  EXPECT_EQ(InflateBuffer(compressed.data(), length, out.data(), size), size);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_EQ(InflateBuffer(compressed.data(), length, out.data(), size - 1), -1);
  EXPECT_EQ(InflateBuffer(compressed.data(), length - 1, out.data(), size), -1);
  EXPECT_EQ(InflateBuffer(compressed.data(), length, out.data(), -1), -1);
  EXPECT_EQ(InflateBuffer(compressed.data(), -1, out.data(), size), -1);

  // Bytes after the stream are not part of it.
  const Bytes followed = Concat(compressed, Bytes{1, 2, 3});
  EXPECT_EQ(InflateBuffer(followed.data(), length + 3, out.data(), size + 1), size);
}
