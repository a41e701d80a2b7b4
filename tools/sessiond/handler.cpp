// What the session host makes of one request text.
#include "tools/sessiond/handler.h"

#include <string.h>

#include "tools/sessiond/metrics.h"

namespace sessiond {

Answer RequestHandler::Handle(const ReleaseRoot& release, const char* text, uint32_t length,
                              const std::string& peer) {
  Answer answer;
  size_t noticeLength = strlen(kVersionNotice);
  if (length == noticeLength && memcmp(text, kVersionNotice, noticeLength) == 0) {
    // The client reads no reply to the notice: answering would shift every
    // later reply by one.
    Metrics::Add(HostMetrics().notices);
    log_.Request("%s %s notice", peer.c_str(), kVersionNotice);
    return answer;
  }
  ChunkRequest request;
  if (!ParseChunkRequest(text, static_cast<int32_t>(length), kSessionChunkSize, &request)) {
    HostMetrics().Error(ErrorKind::Malformed);
    log_.Request("%s malformed request %s", peer.c_str(), Printable(text, length).c_str());
    answer.kind = Answer::kClose;
    answer.closeReason = "malformed request";
    return answer;
  }
  Metrics::Add(HostMetrics().requests);
  ReplyPtr reply = BuildReply(release, request, compress_, cache_);
  std::string name = log_.quiet() && reply->kind != ReplyKind::ReadError
                         ? std::string()
                         : Printable(request.name, strlen(request.name));
  if (reply->kind == ReplyKind::ReadError) {
    // An empty reply would tell the installer that the file ends here.
    HostMetrics().Error(ErrorKind::ReadError);
    uint64_t count = 0;
    if (unreadable_.Due(&count))
      log_.Notice("cannot read %s (%s): closed the connection instead of answering; %llu such "
                  "in the last %d s",
                  name.c_str(), reply->note.c_str(), static_cast<unsigned long long>(count),
                  kThrottleSeconds);
    log_.Request("%s %s offset=%u read-error (%s)", peer.c_str(), name.c_str(), request.offset,
                 reply->note.c_str());
    answer.kind = Answer::kClose;
    answer.closeReason = "file could not be read";
    return answer;
  }
  if (!log_.quiet()) {
    if (reply->note.empty()) {
      log_.Request("%s %s offset=%u %s chunk=%u wire=%zu", peer.c_str(), name.c_str(),
                   request.offset, ReplyKindName(reply->kind), reply->chunkLength,
                   reply->wire.size());
    } else {
      log_.Request("%s %s offset=%u %s wire=%zu (%s)", peer.c_str(), name.c_str(),
                   request.offset, ReplyKindName(reply->kind), reply->wire.size(),
                   reply->note.c_str());
    }
  }
  answer.kind = Answer::kReply;
  answer.reply = std::move(reply);
  return answer;
}

}  // namespace sessiond
