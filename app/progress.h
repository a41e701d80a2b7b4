// The status line: phase, speed sample and text, from the byte counters.
#pragma once

#include <stdint.h>

#include <atomic>

#include "runtime/progress.h"

extern std::atomic<int32_t> Phase;  // 0 initializing, 1 downloading, 2 finalizing
extern uint32_t LastSampleTick;
extern int32_t LastSampleBytes;
extern std::atomic<int32_t> Speed;  // bytes per millisecond, shown as KB/s

enum { kStatusLineCapacity = 256 };
extern char StatusLine[kStatusLineCapacity];

// The progress display (see SetProgressDisplay): samples the speed in phase 1
// and asks the window to repaint.
void ShowProgress();
// Takes a speed sample at the given tick count (milliseconds).
void SampleSpeed(uint32_t tick);
// The text to show for the current phase.
const char* StatusText();

// Window edge: posts WM_PAINT to the progress window (no-op natively).
void RequestRepaint();
uint32_t CurrentTick();
