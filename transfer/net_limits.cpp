// Network bounds: the documented defaults, the tests' seam and the rate
// window.
#include "transfer/net_limits.h"

const int32_t kReconnectDelaysMs[kReconnectTries] = {1000, 2000, 4000};
const NetLimits* TestNetLimits;

int32_t ParseTestBoundMs(const char* text, int32_t most) {
  if (text == nullptr || text[0] == 0) return 0;
  int32_t value = 0;
  for (const char* p = text; *p != 0; p++) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + (*p - '0');
    if (value > most) return 0;
  }
  return value;
}

NetLimits DefaultNetLimits() {
  NetLimits limits;
  limits.connectMs = kConnectTimeoutMs;
  limits.stallMs = kStallTimeoutMs;
  for (int i = 0; i < kReconnectTries; i++) limits.reconnectDelayMs[i] = kReconnectDelaysMs[i];
  limits.rateWindowMs = kRateWindowMs;
  return limits;
}

NetLimits CurrentNetLimits() {
  return TestNetLimits != nullptr ? *TestNetLimits : DefaultNetLimits();
}

void RateWindow::Restart(int32_t windowMs) {
  windowMs_ = windowMs;
  waitedMs_ = 0;
  bytes_ = 0;
  failed_ = false;
}

bool RateWindow::Feed(uint32_t waitedMs, int32_t bytes) {
  if (failed_ || windowMs_ <= 0) return !failed_;
  waitedMs_ += waitedMs;
  if (bytes > 0) bytes_ += bytes;
  if (waitedMs_ < static_cast<uint32_t>(windowMs_)) return true;
  // Judged over the whole wait, which may overrun the window: one long wait
  // that brought a single byte is as slow as many short ones.
  int64_t least = static_cast<int64_t>(waitedMs_) * kMinRateBytesPerSecond / 1000;
  if (bytes_ < least) {
    failed_ = true;
    return false;
  }
  waitedMs_ = 0;
  bytes_ = 0;
  return true;
}
