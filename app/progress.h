// Progress counters, the speed sample and the status line.
#pragma once

#include <stdint.h>

extern volatile int32_t Phase;          // 0 initializing, 1 downloading, 2 finalizing
extern volatile int32_t BytesReceived;  // every byte in, for the speed
extern volatile int32_t BytesTotal;     // the 100 % mark
extern volatile uint32_t BytesDone;     // listed bytes fetched so far
extern uint32_t LastSampleTick;
extern int32_t LastSampleBytes;
extern volatile int32_t Speed;          // bytes per millisecond, shown as KB/s

enum { kStatusLineCapacity = 256 };
extern char StatusLine[kStatusLineCapacity];

// Called on the installer job: stores the count (when >= 0), samples the
// speed in phase 1 and asks the window to repaint.
void UpdateProgress(int32_t count);
// Takes a speed sample at the given tick count (milliseconds).
void SampleSpeed(uint32_t tick);
// The text to show for the current phase.
const char* StatusText();

// Window edge: posts WM_PAINT to the progress window (no-op natively).
void RequestRepaint();
uint32_t CurrentTick();
