// The platform-free half of run control: the shared flags and the locked add.
#include "runtime/run_control.h"

std::atomic<uint8_t> AbortFlag;
std::atomic<int32_t> ActiveWorkers;

void StopWorkers() { AbortFlag = 1; }

// An atomic add needs no lock; the name stays for its callers.
void LockedAdd(std::atomic<int32_t>* counter, int32_t delta) { counter->fetch_add(delta); }
