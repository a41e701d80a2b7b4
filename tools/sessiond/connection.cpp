// One installer's session.
#include "tools/sessiond/connection.h"

#include <string.h>

#include "tools/sessiond/log.h"
#include "tools/sessiond/server.h"

namespace sessiond {

std::string EndpointText(const asio::ip::tcp::endpoint& endpoint) {
  std::string address = endpoint.address().to_string();
  if (endpoint.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(endpoint.port());
}

std::string Connection::PeerText() const { return EndpointText(peer_); }

void Connection::Start() {
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [self] {
    self->Touch(self->server_.options().firstRequestTimeoutSeconds);
    self->WatchDeadline();
    self->ReadHeader();
  });
}

// Sets the time by which the next step must be done. The watch wakes at the
// timer's expiry, so a later deadline needs nothing (the watch just waits
// again); an earlier one pulls the timer in, which wakes the watch at once.
void Connection::Touch(int seconds) {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  if (deadline_ < timer_.expiry()) timer_.expires_at(deadline_);
}

// Like Touch, but never later than the deadline already set.
void Connection::TouchAtMost(int seconds) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  if (limit < deadline_) Touch(seconds);
}

// The one wait chain per connection: started once, re-armed only here.
void Connection::WatchDeadline() {
  auto self = shared_from_this();
  timer_.expires_at(deadline_);
  timer_.async_wait([self](const asio::error_code&) {
    if (self->closed_) return;
    if (self->deadline_ <= std::chrono::steady_clock::now()) {
      if (!self->served_)
        self->Close(CloseCause::FirstRequestTimeout, "no request in time");
      else
        self->Close(self->text_ || self->reply_ ? CloseCause::RequestTimeout : CloseCause::IdleTimeout,
                    "timed out");
      return;
    }
    self->WatchDeadline();
  });
}

void Connection::ReadHeader() {
  auto self = shared_from_this();
  // Before the first request the short allowance runs on from connecting.
  if (served_) Touch(server_.options().idleTimeoutSeconds);
  asio::async_read(socket_, asio::buffer(header_), [self](const asio::error_code& error, size_t) {
    if (self->closed_) return;
    if (error) {
      if (error == asio::error::eof) {
        self->Close(CloseCause::Peer, "closed by peer");
      } else {
        HostMetrics().Error(ErrorKind::ReceiveFailed);
        self->Close(CloseCause::Error, "receive failed");
      }
      return;
    }
    uint32_t word = GetLengthWord(self->header_);
    if (word <= kSessionHeaderSize || word > kSessionHeaderSize + kMaxRequestText) {
      self->server_.log().Request("%s bad length word 0x%08X", self->PeerText().c_str(), word);
      HostMetrics().Error(ErrorKind::BadLength);
      self->Close(CloseCause::Error, "bad request length");
      return;
    }
    self->ReadText(word - kSessionHeaderSize);
  });
}

void Connection::ReadText(uint32_t length) {
  auto self = shared_from_this();
  text_.reset(new char[length]);
  textLength_ = length;
  TouchAtMost(server_.options().requestTimeoutSeconds);
  asio::async_read(socket_, asio::buffer(text_.get(), length),
                   [self](const asio::error_code& error, size_t) {
                     if (self->closed_) return;
                     if (error) {
                       if (error == asio::error::eof) {
                         self->Close(CloseCause::Peer, "closed by peer mid-request");
                       } else {
                         HostMetrics().Error(ErrorKind::ReceiveFailed);
                         self->Close(CloseCause::Error, "receive failed");
                       }
                       return;
                     }
                     self->Handle();
                   });
}

void Connection::Handle() {
  Logger& log = server_.log();
  asked_ = std::chrono::steady_clock::now();
  std::unique_ptr<char[]> text = std::move(text_);
  uint32_t length = textLength_;
  served_ = true;
  size_t noticeLength = strlen(kVersionNotice);
  if (length == noticeLength && memcmp(text.get(), kVersionNotice, noticeLength) == 0) {
    // The client reads no reply to the notice: answering would shift every
    // later reply by one.
    Metrics::Add(HostMetrics().notices);
    log.Request("%s %s notice", PeerText().c_str(), kVersionNotice);
    ReadHeader();
    return;
  }
  ChunkRequest request;
  if (!ParseChunkRequest(text.get(), static_cast<int32_t>(length), kSessionChunkSize,
                         &request)) {
    log.Request("%s malformed request %s", PeerText().c_str(),
                Printable(text.get(), length).c_str());
    HostMetrics().Error(ErrorKind::Malformed);
    Close(CloseCause::Error, "malformed request");
    return;
  }
  text.reset();
  Metrics::Add(HostMetrics().requests);
  reply_ = BuildReply(*release_, request, server_.options().compress, server_.cache());
  const Reply& reply = *reply_;
  std::string name = log.quiet() && reply.kind != ReplyKind::ReadError
                         ? std::string()
                         : Printable(request.name, strlen(request.name));
  if (reply.kind == ReplyKind::ReadError) {
    // An empty reply would tell the installer that the file ends here.
    server_.NoteUnreadable(name, reply.note);
    log.Request("%s %s offset=%u read-error (%s)", PeerText().c_str(), name.c_str(),
                request.offset, reply.note.c_str());
    reply_.reset();
    HostMetrics().Error(ErrorKind::ReadError);
    Close(CloseCause::Error, "file could not be read");
    return;
  }
  if (!log.quiet()) {
    if (reply.note.empty()) {
      log.Request("%s %s offset=%u %s chunk=%u wire=%zu", PeerText().c_str(), name.c_str(),
                  request.offset, ReplyKindName(reply.kind), reply.chunkLength,
                  reply.wire.size());
    } else {
      log.Request("%s %s offset=%u %s wire=%zu (%s)", PeerText().c_str(), name.c_str(),
                  request.offset, ReplyKindName(reply.kind), reply.wire.size(),
                  reply.note.c_str());
    }
  }
  Send();
}

void Connection::Send() {
  auto self = shared_from_this();
  Touch(server_.options().requestTimeoutSeconds);
  asio::async_write(socket_, asio::buffer(reply_->wire),
                    [self](const asio::error_code& error, size_t) {
                      ReplyKind kind = self->reply_->kind;
                      size_t sent = self->reply_->wire.size();
                      self->reply_.reset();
                      if (self->closed_) return;
                      if (error) {
                        HostMetrics().Error(ErrorKind::SendFailed);
                        self->Close(CloseCause::Error, "send failed");
                        return;
                      }
                      HostMetrics().Replied(kind, sent,
                                            std::chrono::steady_clock::now() - self->asked_);
                      self->ReadHeader();
                    });
}

void Connection::Close(CloseCause cause, const char* reason) {
  if (closed_) return;
  closed_ = true;
  HostMetrics().Close(cause);
  server_.log().Request("%s closed: %s", PeerText().c_str(), reason);
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  text_.reset();
  server_.Forget(this);
}

}  // namespace sessiond
