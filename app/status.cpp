// Progress counters, speed sampling and the status line. The window edge
// (repaint request, tick count) lives in progress_win.cpp.
#include "app/progress.h"

#include "tinylib/text.h"

std::atomic<int32_t> Phase;
uint32_t LastSampleTick;
int32_t LastSampleBytes;
std::atomic<int32_t> Speed;
char StatusLine[kStatusLineCapacity];

// A sample needs more than this many milliseconds since the previous one.
static const uint32_t kSampleIntervalMs = 1000;

static const char* const kStatusTemplates[3] = {
    "Initializing...",
    "Downloading $1% completed. Speed $2 KB/s",
    "Finalizing Installation....",
};

void ShowProgress() {
  if (Phase == 1) SampleSpeed(CurrentTick());
  RequestRepaint();
}

void SampleSpeed(uint32_t tick) {
  uint32_t elapsed = tick - LastSampleTick;  // unsigned: survives the 49-day wrap
  if (elapsed <= kSampleIntervalMs) return;
  int32_t received = BytesReceived;
  if (LastSampleTick != 0) {
    uint32_t bytes = static_cast<uint32_t>(received) - static_cast<uint32_t>(LastSampleBytes);
    Speed = static_cast<int32_t>(bytes / elapsed);
  }
  LastSampleTick = tick;
  LastSampleBytes = received;
}

// BytesDone * 100 / BytesTotal, truncated toward zero and not capped at 100.
// A total of 0 or less (every listed file empty) shows 0 rather than
// dividing by zero.
static int32_t Percentage() {
  int64_t total = BytesTotal;
  if (total <= 0) return 0;
  double percent = static_cast<double>(BytesDone.load()) * 100.0 / static_cast<double>(total);
  // BytesDone above BytesTotal may exceed 100; clamp far beyond any real value
  // so that the conversion stays defined.
  if (percent > 2147483647.0) return 2147483647;
  return static_cast<int32_t>(percent);
}

const char* StatusText() {
  int32_t phase = Phase;
  if (phase != 1) return kStatusTemplates[phase == 2 ? 2 : 0];
  const char* in = kStatusTemplates[1];
  char* out = StatusLine;
  for (;;) {
    char c = *in++;
    if (c != '$') {
      *out++ = c;
      if (c == 0) break;
      continue;
    }
    char selector = *in;
    if (selector == 0) {
      *out = 0;
      break;
    }
    in++;
    out = PutDecimal(out, selector == '1' ? Percentage() : Speed.load());
  }
  return StatusLine;
}
