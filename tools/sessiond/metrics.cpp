// The host's counters and their exposition text.
#include "tools/sessiond/metrics.h"

#include <stdio.h>
#include <string.h>

#include "tools/sessiond/reply_cache.h"

namespace sessiond {

namespace {

const char* const kCloseLabels[] = {"peer",          "first_request_timeout", "idle_timeout",
                                    "request_timeout", "slot_policy",         "error",
                                    "shutdown"};
static_assert(sizeof kCloseLabels / sizeof kCloseLabels[0] == static_cast<int>(CloseCause::kCount),
              "one label per cause");
const char* const kTurnAwayLabels[] = {"cap", "per_address"};
static_assert(sizeof kTurnAwayLabels / sizeof kTurnAwayLabels[0] ==
                  static_cast<int>(TurnAwayCause::kCount),
              "one label per cause");
const char* const kErrorLabels[] = {"bad_length",     "malformed",   "read_error",
                                    "receive_failed", "send_failed", "accept_failed"};
static_assert(sizeof kErrorLabels / sizeof kErrorLabels[0] == static_cast<int>(ErrorKind::kCount),
              "one label per kind");

uint64_t Load(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

// Appends the HELP and TYPE lines of one metric family.
void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void Sample(std::string* out, const char* name, const char* labels, uint64_t value) {
  char line[256];
  snprintf(line, sizeof line, "%s%s %llu\n", name, labels, static_cast<unsigned long long>(value));
  *out += line;
}

void Labelled(std::string* out, const char* name, const char* key, const char* label,
              uint64_t value) {
  char labels[96];
  snprintf(labels, sizeof labels, "{%s=\"%s\"}", key, label);
  Sample(out, name, labels, value);
}

}  // namespace

Metrics& HostMetrics() {
  static Metrics metrics;
  return metrics;
}

void Metrics::Close(CloseCause cause) {
  Add(closed[static_cast<int>(cause)]);
  sessionsOpen.fetch_sub(1, std::memory_order_relaxed);
}

void Metrics::Replied(ReplyKind kind, size_t wireBytes, std::chrono::steady_clock::duration took) {
  int k = static_cast<int>(kind);
  Add(replies[k]);
  Add(replyBytes[k], wireBytes);
  double seconds = std::chrono::duration<double>(took).count();
  int bucket = 0;
  while (bucket < kReplyBucketCount && seconds > kReplySecondsBuckets[bucket]) bucket++;
  if (bucket < kReplyBucketCount) Add(replyBuckets[bucket]);
  Add(replyCount);
  Add(replyNanoseconds,
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
}

std::string MetricsText(const Metrics& m, const CacheStats* cache, size_t cacheCapacity) {
  std::string out;
  out.reserve(8192);
  Family(&out, "brevane_sessions_open", "gauge", "Sessions connected now.");
  int64_t open = m.sessionsOpen.load(std::memory_order_relaxed);
  Sample(&out, "brevane_sessions_open", "", open < 0 ? 0 : static_cast<uint64_t>(open));
  Family(&out, "brevane_sessions_accepted_total", "counter", "Connections admitted.");
  Sample(&out, "brevane_sessions_accepted_total", "", Load(m.accepted));
  Family(&out, "brevane_sessions_turned_away_total", "counter",
         "Connections closed at once, by the cap that refused them.");
  for (int i = 0; i < static_cast<int>(TurnAwayCause::kCount); i++)
    Labelled(&out, "brevane_sessions_turned_away_total", "cause", kTurnAwayLabels[i],
             Load(m.turnedAway[i]));
  Family(&out, "brevane_sessions_closed_total", "counter", "Sessions ended, by cause.");
  for (int i = 0; i < static_cast<int>(CloseCause::kCount); i++)
    Labelled(&out, "brevane_sessions_closed_total", "cause", kCloseLabels[i], Load(m.closed[i]));
  Family(&out, "brevane_release_switches_total", "counter",
         "Times a new connection found the release folder pointing at another release.");
  Sample(&out, "brevane_release_switches_total", "", Load(m.releaseSwitches));
  Family(&out, "brevane_notices_total", "counter", "Version notices received (no reply).");
  Sample(&out, "brevane_notices_total", "", Load(m.notices));
  Family(&out, "brevane_requests_total", "counter", "Chunk requests received.");
  Sample(&out, "brevane_requests_total", "", Load(m.requests));
  Family(&out, "brevane_replies_total", "counter", "Replies sent, by kind.");
  for (int i = 0; i < kReplyKindCount; i++)
    Labelled(&out, "brevane_replies_total", "kind", ReplyKindName(static_cast<ReplyKind>(i)),
             Load(m.replies[i]));
  Family(&out, "brevane_reply_bytes_total", "counter",
         "Bytes of replies sent, length words included, by kind.");
  for (int i = 0; i < kReplyKindCount; i++)
    Labelled(&out, "brevane_reply_bytes_total", "kind", ReplyKindName(static_cast<ReplyKind>(i)),
             Load(m.replyBytes[i]));
  Family(&out, "brevane_errors_total", "counter", "Faults, by kind.");
  for (int i = 0; i < static_cast<int>(ErrorKind::kCount); i++)
    Labelled(&out, "brevane_errors_total", "kind", kErrorLabels[i], Load(m.errors[i]));

  Family(&out, "brevane_reply_seconds", "histogram",
         "Time from a complete request to its reply handed to the network.");
  uint64_t cumulative = 0;
  for (int i = 0; i < kReplyBucketCount; i++) {
    cumulative += Load(m.replyBuckets[i]);
    char labels[48];
    snprintf(labels, sizeof labels, "{le=\"%g\"}", kReplySecondsBuckets[i]);
    Sample(&out, "brevane_reply_seconds_bucket", labels, cumulative);
  }
  // The count is read last, so +Inf is never below a bucket read before it.
  uint64_t count = Load(m.replyCount);
  Sample(&out, "brevane_reply_seconds_bucket", "{le=\"+Inf\"}", count < cumulative ? cumulative : count);
  char sum[96];
  snprintf(sum, sizeof sum, "brevane_reply_seconds_sum %.9f\n",
           static_cast<double>(Load(m.replyNanoseconds)) / 1e9);
  out += sum;
  Sample(&out, "brevane_reply_seconds_count", "", count < cumulative ? cumulative : count);

  if (cache != nullptr) {
    Family(&out, "brevane_cache_hits_total", "counter", "Chunk replies taken from the cache.");
    Sample(&out, "brevane_cache_hits_total", "", cache->hits);
    Family(&out, "brevane_cache_misses_total", "counter", "Chunk replies built afresh.");
    Sample(&out, "brevane_cache_misses_total", "", cache->misses);
    Family(&out, "brevane_cache_evictions_total", "counter", "Cached replies dropped for room.");
    Sample(&out, "brevane_cache_evictions_total", "", cache->evictions);
    Family(&out, "brevane_cache_bytes", "gauge", "Bytes the cache holds.");
    Sample(&out, "brevane_cache_bytes", "", cache->bytes);
    Family(&out, "brevane_cache_entries", "gauge", "Replies the cache holds.");
    Sample(&out, "brevane_cache_entries", "", cache->entries);
    Family(&out, "brevane_cache_capacity_bytes", "gauge", "The cache's bound.");
    Sample(&out, "brevane_cache_capacity_bytes", "", cacheCapacity);
  }
  return out;
}

ScrapeVerdict JudgeScrape(const std::string& head) {
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  size_t space = line.find(' ');
  size_t second = space == std::string::npos ? std::string::npos : line.find(' ', space + 1);
  if (space == std::string::npos || second == std::string::npos ||
      line.compare(second + 1, 5, "HTTP/") != 0)
    return ScrapeVerdict::BadRequest;
  std::string method = line.substr(0, space);
  std::string target = line.substr(space + 1, second - space - 1);
  if (method != "GET") return ScrapeVerdict::MethodNotAllowed;
  // A query string is allowed (some scrapers add one); the path must match.
  std::string path = target.substr(0, target.find('?'));
  return path == "/metrics" ? ScrapeVerdict::Metrics : ScrapeVerdict::NotFound;
}

}  // namespace sessiond
