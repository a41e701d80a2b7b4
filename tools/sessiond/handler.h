// What the session host makes of one request text: the version notice (no
// reply), a chunk request (a reply, built once per chunk through the cache),
// or a reason to close the connection. Apart from the sockets, like the
// reply code below it.
#pragma once

#include <stdint.h>

#include <string>

#include "tools/sessiond/log.h"
#include "tools/sessiond/reply.h"

namespace sessiond {

class ReplyCache;

// Conditions that can recur at a high rate are logged once per this.
const int kThrottleSeconds = 10;

struct Answer {
  enum Kind { kNone, kReply, kClose } kind = kNone;
  ReplyPtr reply;                   // kReply
  const char* closeReason = "";     // kClose
};

class RequestHandler {
 public:
  // cache may be null.
  RequestHandler(CompressMode compress, ReplyCache* cache, Logger& log)
      : compress_(compress), cache_(cache), log_(log) {}

  // Answers one complete request text from peer (for the log).
  Answer Handle(const ReleaseRoot& release, const char* text, uint32_t length,
                const std::string& peer);
  Logger& log() { return log_; }

 private:
  const CompressMode compress_;
  ReplyCache* const cache_;
  Logger& log_;
  LogThrottle unreadable_{kThrottleSeconds};
};

}  // namespace sessiond
