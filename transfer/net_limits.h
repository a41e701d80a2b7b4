// How long the installer waits on a peer that has stopped answering, and how
// it rides out a session whose connection broke. The bounds are the same
// for the session socket and for WinINet, and the README states them.
#pragma once

#include <stdint.h>

enum {
  // A connect, to the session host or to an HTTP server.
  kConnectTimeoutMs = 15000,
  // One send or receive that makes no progress: the peer counts as gone.
  kStallTimeoutMs = 60000,
  // New connections tried after a session connection broke, with the pause
  // before each; a request that still fails after them fails for good.
  kReconnectTries = 3
};
extern const int32_t kReconnectDelaysMs[kReconnectTries];  // 1000, 2000, 4000

struct NetLimits {
  int32_t connectMs;
  int32_t stallMs;
  int32_t reconnectDelayMs[kReconnectTries];
};

// The bounds in force: the ones above, unless a whole-program test shortened
// them (below). Tests of the modules pass limits of their own to the
// connection they test.
NetLimits CurrentNetLimits();
// Test-only. Whole-program tests set the environment variable
// PELLINOR_TEST_STALL_MS to shorten the stall bound, so that a silent peer
// costs seconds instead of minutes. Its value as a bound: whole decimal
// milliseconds from 1 to kStallTimeoutMs, anything else 0 (ignored): it can
// only shorten.
int32_t ParseTestStallMs(const char* text);
