// The session host's command line.
#pragma once

#include <stdint.h>

#include <string>

#include "tools/sessiond/reply.h"

namespace sessiond {

struct ServerOptions {
  std::string root;                 // release folder
  std::string address = "127.0.0.1";
  uint16_t port = 7000;             // 0 picks a free port
  CompressMode compress = CompressMode::Auto;
  int firstRequestTimeoutSeconds = 20;  // from connecting to the first request
  int idleTimeoutSeconds = 120;     // waiting for the next request
  int requestTimeoutSeconds = 60;   // finishing a request, taking a reply
  int maxConnections = 0;           // 0: what the descriptor limit allows
  int maxPerAddress = 0;            // 0: no cap per client address
  int threads = 0;                  // 0: one per core
  int64_t cacheBytes = -1;          // -1: DefaultCacheSize(); 0: no cache
  bool warm = false;                // fill the cache from the release at start
  std::string logPath;              // empty: standard error
  bool quiet = false;
  bool metrics = false;             // --metrics given
  std::string metricsAddress;       // where GET /metrics is answered
  uint16_t metricsPort = 0;
};

enum class OptionsResult { Run, Help, Error };
OptionsResult ParseOptions(int argc, char** argv, ServerOptions* options, std::string* error);
const char* UsageText();

// "512M", "2G", "65536": bytes, with K, M or G for KiB, MiB or GiB.
bool ParseByteSize(const std::string& text, int64_t* bytes);

}  // namespace sessiond
