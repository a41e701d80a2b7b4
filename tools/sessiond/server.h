// The session host's TCP server: accepts connections up to a cap and runs
// them on a pool of threads until SIGTERM or SIGINT.
#pragma once

#include <asio.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/sessiond/log.h"
#include "tools/sessiond/options.h"
#include "tools/sessiond/reply.h"

namespace sessiond {

class Connection;

class Server {
 public:
  Server(const ServerOptions& options, const ReleaseRoot& root, Logger& log);

  bool Listen(std::string* error);
  // Serves until a stop signal. Prints "listening ADDRESS:PORT" on standard
  // output first.
  void Run();

  const ServerOptions& options() const { return options_; }
  const ReleaseRoot& root() const { return root_; }
  Logger& log() { return log_; }

  // A connection that closed leaves the count.
  void Forget(Connection* connection);

 private:
  void Accept();
  void Admit(asio::ip::tcp::socket socket);
  void Stop(int number);

  const ServerOptions& options_;
  const ReleaseRoot& root_;
  Logger& log_;
  asio::io_context io_;
  asio::strand<asio::io_context::executor_type> strand_;  // acceptor and signals
  asio::ip::tcp::acceptor acceptor_;
  asio::signal_set signals_;
  std::string listening_;
  bool stopping_ = false;  // on strand_
  std::mutex mutex_;       // guards live_
  std::unordered_map<Connection*, std::weak_ptr<Connection>> live_;
};

}  // namespace sessiond
