// brevane-sessiond: serves a release folder to installers over the session
// protocol. See --help.
#include <signal.h>
#include <stdio.h>

#include "tools/sessiond/server.h"

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
  // A log on a closed pipe must not kill the server; sockets send without
  // SIGPIPE already.
  signal(SIGPIPE, SIG_IGN);
  sessiond::Logger log;
  if (!log.Open(options.logPath, options.quiet, &error)) {
    fprintf(stderr, "brevane-sessiond: %s\n", error.c_str());
    return 1;
  }
  sessiond::ReleaseRoot root;
  if (!root.Open(options.root, &error)) {
    log.Notice("cannot serve %s", error.c_str());
    return 1;
  }
  sessiond::Server server(options, root, log);
  if (!server.Listen(&error)) {
    log.Notice("cannot listen on %s", error.c_str());
    return 1;
  }
  server.Run();
  return 0;
}
