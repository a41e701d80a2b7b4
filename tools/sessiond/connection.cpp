// One installer's session.
#include "tools/sessiond/connection.h"

#include "tools/sessiond/log.h"

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
    self->Touch(self->timeouts_.firstRequestSeconds);
    self->WatchDeadline();
    self->ReadHeader();
  });
}

void Connection::Evict(EvictCause cause, const char* reason) {
  // Already on its way to destruction: its destructor leaves the slots.
  auto self = weak_from_this().lock();
  if (!self) return;
  CloseCause counted = cause == EvictCause::Stopping ? CloseCause::Shutdown : CloseCause::SlotPolicy;
  asio::post(socket_.get_executor(), [self, counted, reason] { self->Close(counted, reason); });
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
  // Before the first request the short allowance runs on from connecting,
  // and the slots count the connection idle since it was admitted.
  if (served_) {
    Touch(timeouts_.idleSeconds);
    slots_.Idle(this);
  }
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
    if (!self->slots_.Busy(self.get())) {
      self->Close(CloseCause::SlotPolicy, "idle the longest when a new connection came at the cap");
      return;
    }
    uint32_t word = GetLengthWord(self->header_);
    if (word <= kSessionHeaderSize || word > kSessionHeaderSize + kMaxRequestText) {
      self->handler_.log().Request("%s bad length word 0x%08X", self->PeerText().c_str(), word);
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
  TouchAtMost(timeouts_.requestSeconds);
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
  std::unique_ptr<char[]> text = std::move(text_);
  served_ = true;
  asked_ = std::chrono::steady_clock::now();
  Answer answer = handler_.Handle(*release_, text.get(), textLength_, PeerText());
  text.reset();
  switch (answer.kind) {
    case Answer::kNone: ReadHeader(); return;
    case Answer::kClose: Close(CloseCause::Error, answer.closeReason); return;
    case Answer::kReply: reply_ = std::move(answer.reply); Send(); return;
  }
}

void Connection::Send() {
  auto self = shared_from_this();
  Touch(timeouts_.requestSeconds);
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
  handler_.log().Request("%s closed: %s", PeerText().c_str(), reason);
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  text_.reset();
  slots_.Leave(this);
}

}  // namespace sessiond
