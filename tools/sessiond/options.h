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
  int idleTimeoutSeconds = 3600;    // waiting for the next request
  int requestTimeoutSeconds = 60;   // finishing a request, taking a reply
  int maxConnections = 256;
  int threads = 2;
  std::string logPath;              // empty: standard error
  bool quiet = false;
};

enum class OptionsResult { Run, Help, Error };
OptionsResult ParseOptions(int argc, char** argv, ServerOptions* options, std::string* error);
const char* UsageText();

}  // namespace sessiond
