// Inflate helpers over zlib.
#include "tinylib/tinyzip.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "tinylib/diaglog.h"
#include "tinylib/streams.h"

// One step of InflateStream, in each direction.
static const int32_t kInflateStep = 0x8000;

namespace {

// One zlib inflate stream for the length of one call.
class InflateState {
 public:
  InflateState() {
    memset(&z, 0, sizeof z);  // default allocator, no input yet
    int result = inflateInit(&z);
    ready_ = result == Z_OK;
    if (!ready_) DiagLog("inflate: init failed (%d)", result);
  }
  ~InflateState() {
    if (ready_) inflateEnd(&z);
  }
  InflateState(const InflateState&) = delete;
  InflateState& operator=(const InflateState&) = delete;

  bool Ready() const { return ready_; }

  z_stream z;

 private:
  bool ready_;
};

// The input and output buffers of one InflateStream call. They live on the
// heap, not the stack: 64 KiB of stack per call would eat a sixteenth of a
// worker thread's default stack, and zlib's own state is on the heap anyway.
// One block per call, never shared, so concurrent calls need no lock.
class StepBuffers {
 public:
  StepBuffers() : block_(static_cast<Bytef*>(malloc(2 * kInflateStep))) {}
  ~StepBuffers() { free(block_); }
  StepBuffers(const StepBuffers&) = delete;
  StepBuffers& operator=(const StepBuffers&) = delete;

  bool Ready() const { return block_ != nullptr; }
  Bytef* Input() { return block_; }
  Bytef* Output() { return block_ + kInflateStep; }

 private:
  Bytef* block_;
};

}  // namespace

int32_t InflateBuffer(const void* source, int32_t sourceLength, void* destination,
                      int32_t destinationCapacity) {
  if (source == nullptr || destination == nullptr || sourceLength < 0 ||
      destinationCapacity < 0)
    return -1;
  InflateState state;
  if (!state.Ready()) return -1;
  // zlib's input pointer is not const unless ZLIB_CONST; it only reads it.
  state.z.next_in = static_cast<Bytef*>(const_cast<void*>(source));
  state.z.avail_in = static_cast<uInt>(sourceLength);
  state.z.next_out = static_cast<Bytef*>(destination);
  state.z.avail_out = static_cast<uInt>(destinationCapacity);
  // One call: the whole stream is in the source and the whole result must fit.
  int result = inflate(&state.z, Z_NO_FLUSH);
  if (result != Z_STREAM_END) {
    DiagLog("inflate: buffer of %d bytes did not inflate into %d bytes (%d)",
            sourceLength, destinationCapacity, result);
    return -1;
  }
  return static_cast<int32_t>(state.z.total_out);
}

// Any result but progress or the end is a failure. Besides zlib's negative
// errors this takes in Z_NEED_DICT: no preset dictionary is ever used, and
// inflate would answer it again and again without consuming input.
static bool InflateFailed(int result) { return result != Z_OK && result != Z_STREAM_END; }

// Hands one step's output to the sink and counts it. A sink that takes less
// than it was given (a full disk, a file it could not create) fails the whole
// inflate: the caller must not take a short file for a complete one.
static bool Deliver(TBaseStream& sink, Bytef* output, int32_t produced, int32_t& total) {
  int32_t taken = sink.Write(output, produced);
  if (taken != produced) {
    DiagLog("inflate: sink took %d of %d bytes", taken, produced);
    return false;
  }
  if (total > INT32_MAX - produced) {
    DiagLog("inflate: output beyond 2 GiB");
    return false;
  }
  total += produced;
  return true;
}

int32_t InflateStream(TBaseStream& source, TBaseStream& sink) {
  InflateState state;
  if (!state.Ready()) return -1;
  StepBuffers buffers;
  if (!buffers.Ready()) {
    DiagLog("inflate: no memory for the step buffers");
    return -1;
  }
  z_stream& z = state.z;
  int last = Z_STREAM_END;  // so that an empty source ends at once with 0
  int32_t total = 0;

  int32_t available = source.Read(buffers.Input(), kInflateStep);
  while (available > 0) {
    if (available > kInflateStep) {
      DiagLog("inflate: source returned %d bytes for %d", available, kInflateStep);
      return -1;
    }
    z.next_in = buffers.Input();
    z.avail_in = static_cast<uInt>(available);
    do {
      z.next_out = buffers.Output();
      z.avail_out = kInflateStep;
      last = inflate(&z, Z_NO_FLUSH);
      if (InflateFailed(last)) {
        DiagLog("inflate: bad data after %d bytes (%d)", total, last);
        return -1;  // this call's output is not written
      }
      // Written even when 0: a sink that creates its file on the first Write
      // then has one for every non-empty source.
      int32_t produced = kInflateStep - static_cast<int32_t>(z.avail_out);
      if (!Deliver(sink, buffers.Output(), produced, total)) return -1;
    } while (last != Z_STREAM_END && z.avail_in != 0);

    if (last == Z_STREAM_END) {
      // Leave the source just after the compressed stream.
      if (z.avail_in != 0 &&
          source.Seek(-static_cast<int32_t>(z.avail_in), kSeekFromCurrent) == -1)
        DiagLog("inflate: could not hand back %u bytes", z.avail_in);
      break;
    }
    available = source.Read(buffers.Input(), kInflateStep);
  }

  // The source ran out before the stream ended: drain what zlib still holds.
  // Cut data ends here with Z_BUF_ERROR.
  if (last != Z_STREAM_END) {
    z.avail_in = 0;
    do {
      z.next_out = buffers.Output();
      z.avail_out = kInflateStep;
      last = inflate(&z, Z_FINISH);
      if (InflateFailed(last)) {
        DiagLog("inflate: stream cut short after %d bytes (%d)", total, last);
        return -1;
      }
      int32_t produced = kInflateStep - static_cast<int32_t>(z.avail_out);
      if (!Deliver(sink, buffers.Output(), produced, total)) return -1;
      // Under Z_FINISH zlib reports a stall as Z_BUF_ERROR; should it ever
      // answer Z_OK without output, stop rather than spin.
      if (last != Z_STREAM_END && produced == 0) return -1;
    } while (last != Z_STREAM_END);
  }
  return total;
}

bool PrepareInflate() {
  // A zlib stream of one empty, final block with the fixed codes.
  static const uint8_t kFixedEmpty[] = {0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
  uint8_t none[1];
  return InflateBuffer(kFixedEmpty, sizeof kFixedEmpty, none, sizeof none) == 0;
}
