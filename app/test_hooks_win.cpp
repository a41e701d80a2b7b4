// Entry point of Pellinor-test.exe, the program as the whole-program tests
// run it: the seams of the modules are set from the environment, then the
// program starts as Pellinor.exe does. Pellinor.exe never links this file,
// so none of these settings exist in the shipped program.
//
//   PELLINOR_TEST_STALL_MS         shortens the stall bound (1..60000)
//   PELLINOR_TEST_RATE_WINDOW_MS   shortens the rate window (1..30000)
//   PELLINOR_TEST_COMMIT_PAUSE_MS  the commit's pause before each file
//                                  (1..60000; unset: none)
#include <windows.h>

#include "config/config.h"
#include "install/commit.h"
#include "transfer/net_limits.h"

extern "C" void __stdcall PellinorStart();

static NetLimits ShortenedLimits;

// A setting as a bound: 0 when unset or not whole milliseconds up to most.
static int32_t SettingMs(const char* name, int32_t most) {
  char value[16];
  int32_t length = ReadEnvironmentValue(name, value, sizeof value);
  if (length <= 0 || length >= static_cast<int32_t>(sizeof value)) return 0;
  return ParseTestBoundMs(value, most);
}

extern "C" void __stdcall PellinorTestStart() {
  ShortenedLimits = DefaultNetLimits();
  int32_t stall = SettingMs("PELLINOR_TEST_STALL_MS", kStallTimeoutMs);
  if (stall > 0) ShortenedLimits.stallMs = stall;
  int32_t window = SettingMs("PELLINOR_TEST_RATE_WINDOW_MS", kRateWindowMs);
  if (window > 0) ShortenedLimits.rateWindowMs = window;
  TestNetLimits = &ShortenedLimits;
  TestCommitPauseMs = static_cast<uint32_t>(SettingMs("PELLINOR_TEST_COMMIT_PAUSE_MS", 60000));
  PellinorStart();
}
