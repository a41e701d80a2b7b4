// brevane-sessiond: serves a release folder to installers over the session
// protocol. See --help.
#include "tools/sessiond/server.h"

#include <stdio.h>

int main(int argc, char** argv) {
  sessiond::ServerOptions options;
  std::string error;
  switch (sessiond::ParseOptions(argc, argv, &options, &error)) {
    case sessiond::OptionsResult::Help:
      fputs(sessiond::UsageText(), stdout);
      return 0;
    case sessiond::OptionsResult::Error:
      fprintf(stderr, "brevane-sessiond: %s (see --help)\n", error.c_str());
      return 2;
    case sessiond::OptionsResult::Run:
      break;
  }
  return sessiond::RunServer(options);
}
