// The byte counters of an installation and the progress update that the job
// and the session download call; the display behind it is registered by the
// program (the progress window), so that nothing here knows of it.
#pragma once

#include <stdint.h>

#include <atomic>

extern std::atomic<int32_t> BytesReceived;  // every byte in, for the speed
extern std::atomic<int32_t> BytesTotal;     // the 100 % mark
extern std::atomic<uint32_t> BytesDone;     // listed bytes fetched so far

// Called after every update; null shows nothing.
typedef void (*ProgressDisplay)();
void SetProgressDisplay(ProgressDisplay display);

// Stores the count in BytesDone (when >= 0), then tells the display.
void UpdateProgress(int32_t count);
