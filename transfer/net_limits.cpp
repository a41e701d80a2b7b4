// Network bounds: the documented defaults and the test-only shortening.
#include "transfer/net_limits.h"

#include "config/config.h"

const int32_t kReconnectDelaysMs[kReconnectTries] = {1000, 2000, 4000};

static const char kTestStallVariable[] = "PELLINOR_TEST_STALL_MS";

int32_t ParseTestStallMs(const char* text) {
  if (text == nullptr || text[0] == 0) return 0;
  int32_t value = 0;
  for (const char* p = text; *p != 0; p++) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + (*p - '0');
    if (value > kStallTimeoutMs) return 0;
  }
  return value;
}

NetLimits CurrentNetLimits() {
  NetLimits limits;
  limits.connectMs = kConnectTimeoutMs;
  limits.stallMs = kStallTimeoutMs;
  for (int i = 0; i < kReconnectTries; i++) limits.reconnectDelayMs[i] = kReconnectDelaysMs[i];
  char value[16];
  int32_t length = ReadEnvironmentValue(kTestStallVariable, value, sizeof value);
  if (length > 0 && length < static_cast<int32_t>(sizeof value)) {
    int32_t stall = ParseTestStallMs(value);
    if (stall > 0) limits.stallMs = stall;
  }
  return limits;
}
