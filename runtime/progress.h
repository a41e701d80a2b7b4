// The byte counters of an installation and the progress update that the job
// and the session download call; the display behind it is registered by the
// program (the progress window), so that nothing here knows of it.
#pragma once

#include <stdint.h>

#include <atomic>

// Every byte in, for the speed: read only as differences, so it may wrap.
extern std::atomic<int32_t> BytesReceived;
// The 100 % mark and the listed bytes fetched so far: a release may pass
// 2 GiB, so both are 64-bit sums.
extern std::atomic<int64_t> BytesTotal;
extern std::atomic<int64_t> BytesDone;

// Called after every update; null shows nothing.
typedef void (*ProgressDisplay)();
void SetProgressDisplay(ProgressDisplay display);

// Stores the count in BytesDone (when >= 0), then tells the display.
void UpdateProgress(int64_t count);
// Adds bytes to BytesDone, then tells the display (the session, which runs
// alone).
void AddProgress(int32_t bytes);
