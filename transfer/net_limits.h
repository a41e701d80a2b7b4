// How long the installer waits on a peer that has stopped answering or
// barely answers, and how it rides out a session whose connection broke. The
// bounds are the same for the session socket and for WinINet, and the README
// states them.
#pragma once

#include <stdint.h>

enum {
  // A connect, to the session host or to an HTTP server.
  kConnectTimeoutMs = 15000,
  // One send or receive that makes no progress: the peer counts as gone.
  kStallTimeoutMs = 60000,
  // A source that, over kRateWindowMs spent waiting on it, delivered fewer
  // than kMinRateBytesPerSecond on average counts as failed: every receive
  // makes progress, yet the download would never end. Low enough for a slow
  // line shared by 15 mirror workers; the session then gets the line alone.
  kMinRateBytesPerSecond = 512,
  kRateWindowMs = 30000,
  // New connections tried after a session connection broke, with the pause
  // before each; a request that still fails after them fails for good.
  kReconnectTries = 3
};
extern const int32_t kReconnectDelaysMs[kReconnectTries];  // 1000, 2000, 4000

struct NetLimits {
  int32_t connectMs;
  int32_t stallMs;
  int32_t reconnectDelayMs[kReconnectTries];
  int32_t rateWindowMs;  // 0: no rate bound (tests of other bounds)
};

// The bounds in force: the ones above, unless a test build shortened them.
NetLimits CurrentNetLimits();
// The documented bounds.
NetLimits DefaultNetLimits();

// The seam of the tests: null in the product. Module tests point it at
// limits of their own; the program's test build sets it at start from its
// environment.
extern const NetLimits* TestNetLimits;
// A test bound given as text: whole decimal milliseconds from 1 to most,
// anything else 0 (ignored), so that a test setting can only shorten.
int32_t ParseTestBoundMs(const char* text, int32_t most);

// The rate bound of one source, fed with the time spent waiting on it and
// the bytes that time brought. Time spent elsewhere (writing, inflating, a
// session left idle while the mirrors run) is never fed, so only the
// source's own slowness counts.
class RateWindow {
 public:
  // constexpr: a static window needs no constructor run (the program runs
  // none).
  constexpr explicit RateWindow(int32_t windowMs = kRateWindowMs)
      : windowMs_(windowMs), waitedMs_(0), bytes_(0), failed_(false) {}
  // Starts anew (a new connection) with the given window; 0 bounds nothing.
  void Restart(int32_t windowMs);
  // Adds one wait and its bytes. False, from then on, once the waits of a
  // whole window brought fewer bytes than the minimum rate for their length.
  bool Feed(uint32_t waitedMs, int32_t bytes);
  bool Failed() const { return failed_; }

 private:
  int32_t windowMs_;
  uint32_t waitedMs_;  // waiting in the current window
  int64_t bytes_;      // bytes in the current window
  bool failed_;
};
