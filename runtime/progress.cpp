// Progress counters.
#include "runtime/progress.h"

std::atomic<int32_t> BytesReceived;
std::atomic<int64_t> BytesTotal;
std::atomic<int64_t> BytesDone;

static ProgressDisplay Display;

void SetProgressDisplay(ProgressDisplay display) { Display = display; }

void AddProgress(int32_t bytes) { UpdateProgress(BytesDone + bytes); }

void UpdateProgress(int64_t count) {
  if (count >= 0) BytesDone = count;
  if (Display != nullptr) Display();
}
