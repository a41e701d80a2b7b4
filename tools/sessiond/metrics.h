// What the session host counts for an operator's dashboard and alerts, and
// its text in the Prometheus exposition format. Counting is a relaxed atomic
// add on the serving path, nothing more; the text is made only when scraped.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <string>

#include "tools/sessiond/reply.h"

namespace sessiond {

struct CacheStats;

// Why a session ended. Each has its label in the metrics text.
enum class CloseCause {
  Peer,                 // the installer closed it
  FirstRequestTimeout,  // nothing asked in time after connecting
  IdleTimeout,          // nothing asked in time between requests
  RequestTimeout,       // a request or a reply did not finish in time
  SlotPolicy,           // its slot went to a new connection
  Error,                // a bad request, a failed receive, send or read
  Shutdown,             // the host stopped
  kCount
};

// Why a connection was never served.
enum class TurnAwayCause { Cap, PerAddress, kCount };

// Faults, by kind.
enum class ErrorKind {
  BadLength,    // a request's length word out of range
  Malformed,    // a request text that does not parse
  ReadError,    // a release file that exists but could not be read
  ReceiveFailed,
  SendFailed,
  AcceptFailed,
  kCount
};

// Upper bounds, in seconds, of the reply-time histogram's buckets: from a
// cache hit on loopback to a chunk sent to a slow link.
const double kReplySecondsBuckets[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                       0.025,  0.05,    0.1,    0.25,  0.5,    1,     2.5};
const int kReplyBucketCount = sizeof kReplySecondsBuckets / sizeof kReplySecondsBuckets[0];
const int kReplyKindCount = static_cast<int>(ReplyKind::ReadError) + 1;

struct Metrics {
  std::atomic<int64_t> sessionsOpen{0};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> turnedAway[static_cast<int>(TurnAwayCause::kCount)] = {};
  std::atomic<uint64_t> closed[static_cast<int>(CloseCause::kCount)] = {};
  std::atomic<uint64_t> releaseSwitches{0};  // the release link found pointing elsewhere
  std::atomic<uint64_t> notices{0};   // "#UPDVER", which gets no reply
  std::atomic<uint64_t> requests{0};  // chunk requests that parsed
  std::atomic<uint64_t> replies[kReplyKindCount] = {};
  std::atomic<uint64_t> replyBytes[kReplyKindCount] = {};  // on the wire, length word included
  std::atomic<uint64_t> errors[static_cast<int>(ErrorKind::kCount)] = {};
  // The time from a complete request to its reply handed to the kernel.
  std::atomic<uint64_t> replyBuckets[kReplyBucketCount] = {};  // per bucket, not cumulative
  std::atomic<uint64_t> replyCount{0};
  std::atomic<uint64_t> replyNanoseconds{0};

  void Close(CloseCause cause);
  void TurnAway(TurnAwayCause cause) { Add(turnedAway[static_cast<int>(cause)]); }
  void Error(ErrorKind kind) { Add(errors[static_cast<int>(kind)]); }
  void Replied(ReplyKind kind, size_t wireBytes, std::chrono::steady_clock::duration took);

  static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
};

// The host's one set of counters. They belong to the process as its log
// does: every connection adds to them and the scrape reads them.
Metrics& HostMetrics();

// The exposition text of metrics (and of the reply cache when there is one:
// cache may be null).
std::string MetricsText(const Metrics& metrics, const CacheStats* cache, size_t cacheCapacity);

// What a scrape request asks for, judged on its request line.
enum class ScrapeVerdict { Metrics, NotFound, MethodNotAllowed, BadRequest };
// head: the request up to its blank line.
ScrapeVerdict JudgeScrape(const std::string& head);

}  // namespace sessiond
