// Native edge of the progress display, for the unit tests: counts repaint
// requests instead of posting them.
#include "app/progress.h"

#include <time.h>

int RepaintRequests;

uint32_t CurrentTick() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000u + now.tv_nsec / 1000000);
}

void RequestRepaint() { RepaintRequests++; }
