// Progress counters.
#include "runtime/progress.h"

std::atomic<int32_t> BytesReceived;
std::atomic<int32_t> BytesTotal;
std::atomic<uint32_t> BytesDone;

static ProgressDisplay Display;

void SetProgressDisplay(ProgressDisplay display) { Display = display; }

void UpdateProgress(int32_t count) {
  if (count >= 0) BytesDone = static_cast<uint32_t>(count);
  if (Display != nullptr) Display();
}
