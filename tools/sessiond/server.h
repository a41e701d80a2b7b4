// The session host's TCP server: admits connections into its slots (a cap
// in all, where a new connection takes the place of the one idle the
// longest, and optionally per client address), hands each the release its
// folder names at that moment, and runs them on a pool of threads until
// SIGTERM or SIGINT.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/sessiond/handler.h"
#include "tools/sessiond/log.h"
#include "tools/sessiond/options.h"
#include "tools/sessiond/reply.h"
#include "tools/sessiond/reply_cache.h"
#include "tools/sessiond/slots.h"

namespace sessiond {

// How long accepting pauses when the process runs out of descriptors.
const int kAcceptPauseMilliseconds = 100;
// How often memory freed after a burst of requests is handed back.
const int kTrimSeconds = 10;

class Server {
 public:
  // options must be complete (threads and caps resolved); cache may be null.
  Server(const ServerOptions& options, Logger& log, ReplyCache* cache);

  // Resolves the release folder and listens.
  bool Listen(std::string* error);
  // Serves until a stop signal. Prints "listening ADDRESS:PORT" on standard
  // output first.
  void Run();

 private:
  void Accept();
  void PauseAccepting(const asio::error_code& error);
  void Admit(asio::ip::tcp::socket socket);
  std::shared_ptr<const ReleaseRoot> CurrentRelease();
  void WatchSignals();
  void Stop(int number);
  void Warm(std::shared_ptr<const ReleaseRoot> release);
  void TrimLater();

  const ServerOptions& options_;
  Logger& log_;
  ReplyCache* cache_;
  // Before the event loop: connections its destructor drops still leave them.
  SessionSlots slots_;
  RequestHandler handler_;
  asio::io_context io_;
  asio::strand<asio::io_context::executor_type> strand_;  // acceptor, signals, release_
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptPause_;
  asio::steady_timer trim_;
  asio::signal_set signals_;
  std::string listening_;
  std::shared_ptr<const ReleaseRoot> release_;  // on strand_
  std::atomic<bool> stopping_{false};
  std::thread warmer_;
  LogThrottle acceptErrors_{kThrottleSeconds};
  LogThrottle addressCap_{kThrottleSeconds};
  LogThrottle madeRoom_{kThrottleSeconds};
  LogThrottle releaseErrors_{kThrottleSeconds};
};

// The address of an endpoint as a map key (IPv4 as mapped IPv6).
std::string AddressKey(const asio::ip::address& address);

}  // namespace sessiond
