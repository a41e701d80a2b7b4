// The session host's command line and its TCP server.
#pragma once

#include "tools/sessiond/reply.h"

#include <stdint.h>

#include <string>

namespace sessiond {

// A request text longer than this closes the connection before it is read;
// real requests fit the client's 260-character buffer.
const uint32_t kMaxRequestText = 1024;

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

// Serves until SIGTERM or SIGINT. Prints "listening ADDRESS:PORT" on standard
// output once the socket listens. Returns the process exit code.
int RunServer(const ServerOptions& options);

}  // namespace sessiond
