// brevane-sessiond: serves a release folder to installers over the session
// protocol. See --help.
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <memory>
#include <thread>

#include "tools/sessiond/metrics.h"
#include "tools/sessiond/metrics_endpoint.h"
#include "tools/sessiond/server.h"

namespace {

// Descriptors kept apart from connections: the log, the listening socket,
// the event loop's own, and one file per serving thread while it reads.
const int kReservedDescriptors = 32;
const int kMostConnections = 100000;

// Raises the soft descriptor limit to the hard one and, unless given,
// derives the connection cap from it; says what it did in the log.
void ResolveLimits(sessiond::ServerOptions* options, sessiond::Logger& log) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    log.Notice("cannot read the descriptor limit: %s", strerror(errno));
    limit.rlim_cur = limit.rlim_max = 1024;
  } else if (limit.rlim_cur < limit.rlim_max) {
    rlim_t was = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
      log.Notice("descriptor limit raised from %llu to %llu", static_cast<unsigned long long>(was),
                 static_cast<unsigned long long>(limit.rlim_cur));
    } else {
      log.Notice("cannot raise the descriptor limit from %llu: %s",
                 static_cast<unsigned long long>(was), strerror(errno));
      limit.rlim_cur = was;
    }
  }
  rlim_t usable = limit.rlim_cur > rlim_t(kReservedDescriptors + options->threads)
                      ? limit.rlim_cur - kReservedDescriptors - options->threads
                      : 1;
  int allowed = usable > rlim_t(kMostConnections) ? kMostConnections : static_cast<int>(usable);
  if (options->maxConnections == 0) {
    options->maxConnections = allowed;
  } else if (options->maxConnections > allowed) {
    log.Notice("--max-connections=%d is more than the descriptor limit %llu allows (%d): "
               "accepts pause while descriptors run out",
               options->maxConnections, static_cast<unsigned long long>(limit.rlim_cur), allowed);
  }
}

}  // namespace

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
  // Replies of a whole chunk are large: with a fixed threshold they are
  // mapped and unmapped on their own, so memory a burst used goes back to
  // the system instead of staying in the heap for idle sessions.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  sessiond::Logger log;
  if (!log.Open(options.logPath, options.quiet, &error)) {
    fprintf(stderr, "brevane-sessiond: %s\n", error.c_str());
    return 1;
  }
  if (options.threads == 0) {
    unsigned cores = std::thread::hardware_concurrency();
    options.threads = cores == 0 ? 1 : cores > 64 ? 64 : static_cast<int>(cores);
  }
  ResolveLimits(&options, log);
  std::unique_ptr<sessiond::ReplyCache> cache;
  if (options.cacheBytes != 0)
    cache.reset(new sessiond::ReplyCache(options.cacheBytes < 0
                                             ? sessiond::DefaultCacheSize()
                                             : static_cast<size_t>(options.cacheBytes)));
  sessiond::Server server(options, log, cache.get());
  if (!server.Listen(&error)) {
    log.Notice("cannot serve: %s", error.c_str());
    return 1;
  }
  // Made only when asked for: its event loop holds descriptors of its own,
  // which the connection cap derived above does not count.
  std::unique_ptr<sessiond::MetricsEndpoint> metrics;
  if (options.metrics) {
    sessiond::ReplyCache* replies = cache.get();
    metrics.reset(new sessiond::MetricsEndpoint([replies] {
      sessiond::CacheStats stats;
      if (replies != nullptr) stats = replies->Stats();
      return sessiond::MetricsText(sessiond::HostMetrics(), replies != nullptr ? &stats : nullptr,
                                   replies != nullptr ? replies->capacity() : 0);
    }));
    if (!metrics->Listen(options.metricsAddress, options.metricsPort, &error)) {
      log.Notice("cannot serve metrics: %s", error.c_str());
      return 1;
    }
    // Tests and scripts read the chosen port from this line.
    printf("metrics %s\n", metrics->listening().c_str());
    log.Notice("metrics on http://%s/metrics", metrics->listening().c_str());
    metrics->Start();
  }
  server.Run();
  if (metrics) metrics->Stop();
  return 0;
}
