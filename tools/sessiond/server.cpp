// The session host's TCP server: one strand per connection, each connection
// strictly request then reply, one deadline per connection, and a cap on how
// many connections are served at once.
#include "tools/sessiond/server.h"

#include <signal.h>
#include <stdio.h>

#include <thread>
#include <vector>

#include "tools/sessiond/connection.h"

namespace sessiond {

Server::Server(const ServerOptions& options, const ReleaseRoot& root, Logger& log)
    : options_(options),
      root_(root),
      log_(log),
      strand_(asio::make_strand(io_)),
      acceptor_(strand_),
      signals_(strand_, SIGINT, SIGTERM) {}

bool Server::Listen(std::string* error) {
  try {
    asio::ip::tcp::resolver resolver(io_);
    auto results = resolver.resolve(options_.address, std::to_string(options_.port),
                                    asio::ip::resolver_base::passive);
    asio::ip::tcp::endpoint endpoint = results.begin()->endpoint();
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    listening_ = EndpointText(acceptor_.local_endpoint());
  } catch (const std::exception& failure) {
    *error = options_.address + ":" + std::to_string(options_.port) + ": " + failure.what();
    return false;
  }
  return true;
}

void Server::Run() {
  // Tests and scripts read the chosen port from this line.
  printf("listening %s\n", listening_.c_str());
  fflush(stdout);
  log_.Notice("serving %s on %s (compress=%s, idle %d s, request %d s, at most %d connections)",
              root_.path().c_str(), listening_.c_str(), CompressModeName(options_.compress),
              options_.idleTimeoutSeconds, options_.requestTimeoutSeconds,
              options_.maxConnections);
  signals_.async_wait([this](const asio::error_code& error, int number) {
    if (!error) Stop(number);
  });
  Accept();
  std::vector<std::thread> helpers;
  for (int i = 1; i < options_.threads; i++) helpers.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& helper : helpers) helper.join();
  log_.Notice("stopped");
}

void Server::Forget(Connection* connection) {
  std::lock_guard<std::mutex> hold(mutex_);
  live_.erase(connection);
}

void Server::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](const asio::error_code& error,
                                                        asio::ip::tcp::socket socket) {
    if (stopping_ || error == asio::error::operation_aborted) return;
    if (error) {
      // Out of descriptors and the like: keep serving those already here.
      log_.Notice("accept failed: %s", error.message().c_str());
    } else {
      Admit(std::move(socket));
    }
    Accept();
  });
}

void Server::Admit(asio::ip::tcp::socket socket) {
  asio::error_code ignored;
  auto remote = socket.remote_endpoint(ignored);
  std::string peer = ignored ? std::string("?") : EndpointText(remote);
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (live_.size() >= static_cast<size_t>(options_.maxConnections)) {
      log_.Request("%s turned away: %d connections already", peer.c_str(),
                   options_.maxConnections);
      socket.close(ignored);
      return;
    }
    connection = std::make_shared<Connection>(*this, std::move(socket), peer);
    live_[connection.get()] = connection;
  }
  log_.Request("%s connected", peer.c_str());
  connection->Start();
}

void Server::Stop(int number) {
  log_.Notice("signal %d: closing %s", number, listening_.c_str());
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& entry : live_)
      if (auto connection = entry.second.lock()) open.push_back(connection);
  }
  for (auto& connection : open) connection->CloseLater("server stopping");
}

}  // namespace sessiond
