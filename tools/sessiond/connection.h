// One installer's session: strictly request then reply, on its own strand,
// with one deadline for whatever step it is in.
#pragma once

#include <asio.hpp>

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/sessiond/reply.h"

namespace sessiond {

// A request text longer than this closes the connection before it is read;
// real requests fit the client's 260-character buffer.
const uint32_t kMaxRequestText = 1024;

class Server;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, asio::ip::tcp::socket socket, std::string peer)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        peer_(std::move(peer)) {}

  void Start();
  // Safe from any thread: hands the close to the connection's strand.
  void CloseLater(const char* reason) {
    auto self = shared_from_this();
    asio::post(socket_.get_executor(), [self, reason] { self->Close(reason); });
  }

 private:
  void Touch(int seconds);
  void WatchDeadline();
  void ReadHeader();
  void ReadText(uint32_t length);
  void Handle();
  void Close(const char* reason);

  Server& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  std::chrono::steady_clock::time_point deadline_;
  std::string peer_;
  uint8_t header_[kSessionHeaderSize] = {};
  std::vector<char> text_;
  Reply reply_;
  bool closed_ = false;
};

// "address:port", IPv6 addresses in brackets.
std::string EndpointText(const asio::ip::tcp::endpoint& endpoint);

}  // namespace sessiond
