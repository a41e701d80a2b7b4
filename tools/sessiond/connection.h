// One installer's session: strictly request then reply, on its own strand,
// with one deadline for whatever step it is in. Between requests it holds
// its socket, its timer and a reference to its release, nothing more: the
// request text and the reply exist only while a request is answered.
//
// A connection sees only its slots (where it tells whether it waits idle or
// is being served) and its request handler, not the server around them.
#pragma once

#include <asio.hpp>

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>

#include "tools/sessiond/handler.h"
#include "tools/sessiond/metrics.h"
#include "tools/sessiond/reply.h"
#include "tools/sessiond/slots.h"

namespace sessiond {

// A request text longer than this closes the connection before it is read;
// real requests fit the client's 260-character buffer.
const uint32_t kMaxRequestText = 1024;

struct SessionTimeouts {
  int firstRequestSeconds;  // from connecting to the first complete request
  int idleSeconds;          // waiting for the next request
  int requestSeconds;       // finishing a request, taking a reply
};

class Connection : public std::enable_shared_from_this<Connection>, public SlotHolder {
 public:
  Connection(asio::ip::tcp::socket socket, std::shared_ptr<const ReleaseRoot> release,
             const asio::ip::tcp::endpoint& peer, SessionSlots& slots, RequestHandler& handler,
             const SessionTimeouts& timeouts)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        release_(std::move(release)),
        peer_(peer),
        slots_(slots),
        handler_(handler),
        timeouts_(timeouts) {}
  // A connection that never got to close (the event loop ended first) gives
  // its slot back here.
  ~Connection() { slots_.Leave(this); }

  void Start();
  // Safe from any thread, under the slots' lock too: hands the close to the
  // connection's strand.
  void Evict(EvictCause cause, const char* reason) override;

 private:
  void Touch(int seconds);
  void TouchAtMost(int seconds);
  void WatchDeadline();
  void ReadHeader();
  void ReadText(uint32_t length);
  void Handle();
  void Send();
  // Every way out: counted by cause, logged with the reason.
  void Close(CloseCause cause, const char* reason);
  std::string PeerText() const;

  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  std::chrono::steady_clock::time_point deadline_;
  // The release this connection started with: a switch of the release link
  // reaches new connections only, so one installer never mixes releases.
  std::shared_ptr<const ReleaseRoot> release_;
  asio::ip::tcp::endpoint peer_;
  SessionSlots& slots_;
  RequestHandler& handler_;
  const SessionTimeouts timeouts_;
  std::unique_ptr<char[]> text_;  // the request being read
  uint32_t textLength_ = 0;
  ReplyPtr reply_;                // the reply being sent
  std::chrono::steady_clock::time_point asked_;  // when the request being answered arrived
  uint8_t header_[kSessionHeaderSize] = {};
  bool served_ = false;  // a complete request arrived: the idle time-out applies
  bool closed_ = false;
};

// "address:port", IPv6 addresses in brackets.
std::string EndpointText(const asio::ip::tcp::endpoint& endpoint);

}  // namespace sessiond
