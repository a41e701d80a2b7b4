// The session host's TCP server: accepts connections up to a cap (in all
// and per client address), hands each the release its folder names at that
// moment, and runs them on a pool of threads until SIGTERM or SIGINT.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "tools/sessiond/log.h"
#include "tools/sessiond/options.h"
#include "tools/sessiond/reply.h"
#include "tools/sessiond/reply_cache.h"

namespace sessiond {

class Connection;

// How long accepting pauses when the process runs out of descriptors.
const int kAcceptPauseMilliseconds = 100;
// How often memory freed after a burst of requests is handed back.
const int kTrimSeconds = 10;
// Conditions that can recur at a high rate are logged once per this.
const int kThrottleSeconds = 10;

class Server {
 public:
  // options must be complete (threads and caps resolved); cache may be null.
  Server(const ServerOptions& options, Logger& log, ReplyCache* cache);

  // Resolves the release folder and listens.
  bool Listen(std::string* error);
  // Serves until a stop signal. Prints "listening ADDRESS:PORT" on standard
  // output first.
  void Run();

  const ServerOptions& options() const { return options_; }
  Logger& log() { return log_; }
  ReplyCache* cache() { return cache_; }

  // A connection that closed leaves the counts.
  void Forget(Connection* connection);
  // A file that exists could not be read (logged, throttled).
  void NoteUnreadable(const std::string& name, const std::string& why);

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
  LogThrottle unreadable_{kThrottleSeconds};
  LogThrottle releaseErrors_{kThrottleSeconds};
  std::mutex mutex_;  // guards live_ and perAddress_
  std::unordered_map<Connection*, std::weak_ptr<Connection>> live_;
  std::unordered_map<std::string, int> perAddress_;  // by address bytes
};

// The address of an endpoint as a map key (IPv4 as mapped IPv6).
std::string AddressKey(const asio::ip::address& address);

}  // namespace sessiond
