// The session host's TCP server: one strand per connection, each connection
// strictly request then reply, one deadline per connection, and slots that
// bound how many connections are held at once.
#include "tools/sessiond/server.h"

#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "tools/common/paths.h"
#include "tools/sessiond/connection.h"
#include "tools/sessiond/metrics.h"

namespace sessiond {

std::string AddressKey(const asio::ip::address& address) {
  asio::ip::address_v6 v6 = address.is_v4()
                                ? asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4())
                                : address.to_v6();
  auto bytes = v6.to_bytes();
  return std::string(bytes.begin(), bytes.end());
}

Server::Server(const ServerOptions& options, Logger& log, ReplyCache* cache)
    : options_(options),
      log_(log),
      cache_(cache),
      slots_(options.maxConnections, options.maxPerAddress),
      handler_(options.compress, cache, log),
      strand_(asio::make_strand(io_)),
      acceptor_(strand_),
      acceptPause_(strand_),
      trim_(strand_),
      signals_(strand_, SIGINT, SIGTERM, SIGHUP) {}

bool Server::Listen(std::string* error) {
  auto release = std::make_shared<ReleaseRoot>();
  if (!release->Open(options_.root, error)) return false;
  release_ = release;
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
  std::string perAddress =
      options_.maxPerAddress > 0 ? std::to_string(options_.maxPerAddress) : std::string("any");
  log_.Notice("serving %s on %s (compress=%s, first request %d s, idle %d s, request %d s, at "
              "most %d connections (at the cap the one idle the longest makes room), %s per address, %d threads, cache %lld MiB)",
              release_->path().c_str(), listening_.c_str(), CompressModeName(options_.compress),
              options_.firstRequestTimeoutSeconds, options_.idleTimeoutSeconds,
              options_.requestTimeoutSeconds, options_.maxConnections, perAddress.c_str(),
              options_.threads,
              static_cast<long long>(cache_ != nullptr ? cache_->capacity() >> 20 : 0));
  WatchSignals();
  Accept();
  TrimLater();
  if (options_.warm && cache_ != nullptr) {
    std::shared_ptr<const ReleaseRoot> release = release_;
    warmer_ = std::thread([this, release] { Warm(release); });
  }
  std::vector<std::thread> helpers;
  for (int i = 1; i < options_.threads; i++) helpers.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& helper : helpers) helper.join();
  if (warmer_.joinable()) warmer_.join();
  log_.Notice("stopped");
}

void Server::WatchSignals() {
  signals_.async_wait([this](const asio::error_code& error, int number) {
    if (error) return;
    if (number != SIGHUP) {
      Stop(number);
      return;
    }
    std::string failure;
    if (log_.Reopen(&failure))
      log_.Notice("signal %d: log reopened", number);
    else
      log_.Notice("signal %d: cannot reopen the log (%s); writing on to the old one", number,
                  failure.c_str());
    WatchSignals();
  });
}

// Replies, request texts and zlib's state come and go with requests; the
// heap keeps what they freed unless told, which would leave a host that
// served a burst holding that memory for its idle sessions.
void Server::TrimLater() {
  trim_.expires_after(std::chrono::seconds(kTrimSeconds));
  trim_.async_wait([this](const asio::error_code& error) {
    if (error || stopping_) return;
    malloc_trim(0);
    TrimLater();
  });
}

void Server::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](const asio::error_code& error,
                                                        asio::ip::tcp::socket socket) {
    if (stopping_ || error == asio::error::operation_aborted) return;
    if (error) {
      PauseAccepting(error);
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

// Out of descriptors (or memory): retrying at once would spin on the same
// error, so accepting pauses while those already here are served, and the
// condition is logged once per interval with a count.
void Server::PauseAccepting(const asio::error_code& error) {
  HostMetrics().Error(ErrorKind::AcceptFailed);
  uint64_t count = 0;
  if (acceptErrors_.Due(&count))
    log_.Notice("accept failed: %s; pausing accepts for %d ms (%llu failures in the last %d s)",
                error.message().c_str(), kAcceptPauseMilliseconds,
                static_cast<unsigned long long>(count), kThrottleSeconds);
  acceptPause_.expires_after(std::chrono::milliseconds(kAcceptPauseMilliseconds));
  acceptPause_.async_wait([this](const asio::error_code& waited) {
    if (stopping_ || waited) return;
    Accept();
  });
}

// The release the folder option names now. A link switched to a new
// release gives a new ReleaseRoot; connections keep the one they got.
std::shared_ptr<const ReleaseRoot> Server::CurrentRelease() {
  std::string canonical = tools::CanonicalPath(options_.root);
  if (canonical == release_->path()) return release_;
  auto release = std::make_shared<ReleaseRoot>();
  std::string error;
  if (canonical.empty() || !release->Open(canonical, &error)) {
    uint64_t count = 0;
    if (releaseErrors_.Due(&count))
      log_.Notice("cannot resolve %s (%s); serving %s still (%llu times in the last %d s)",
                  options_.root.c_str(), canonical.empty() ? strerror(errno) : error.c_str(),
                  release_->path().c_str(), static_cast<unsigned long long>(count),
                  kThrottleSeconds);
    return release_;
  }
  Metrics::Add(HostMetrics().releaseSwitches);
  log_.Notice("release %s now serves %s (was %s)", options_.root.c_str(),
              release->path().c_str(), release_->path().c_str());
  release_ = release;
  return release_;
}

void Server::Admit(asio::ip::tcp::socket socket) {
  asio::error_code failed;
  auto remote = socket.remote_endpoint(failed);
  if (failed) return;  // gone already; the socket closes here
  // Replies are written whole; without this a small last piece of one could
  // wait for the client's delayed acknowledgement.
  socket.set_option(asio::ip::tcp::no_delay(true), failed);
  std::shared_ptr<const ReleaseRoot> release = CurrentRelease();
  SessionTimeouts timeouts = {options_.firstRequestTimeoutSeconds, options_.idleTimeoutSeconds,
                              options_.requestTimeoutSeconds};
  auto connection = std::make_shared<Connection>(std::move(socket), release, remote, slots_,
                                                 handler_, timeouts);
  bool madeRoom = false;
  switch (slots_.Admit(connection.get(), AddressKey(remote.address()), &madeRoom)) {
    case Admission::Admitted:
      break;
    case Admission::Full:
      HostMetrics().TurnAway(TurnAwayCause::Cap);
      log_.Request("%s turned away: %d connections already, each in a request",
                   EndpointText(remote).c_str(), options_.maxConnections);
      return;
    case Admission::AddressFull: {
      HostMetrics().TurnAway(TurnAwayCause::PerAddress);
      uint64_t times = 0;
      if (addressCap_.Due(&times))
        log_.Notice("%s turned away: %d connections from %s already (%llu turned away in "
                    "the last %d s)",
                    EndpointText(remote).c_str(), options_.maxPerAddress,
                    remote.address().to_string().c_str(), static_cast<unsigned long long>(times),
                    kThrottleSeconds);
      return;
    }
  }
  uint64_t times = 0;
  if (madeRoom && madeRoom_.Due(&times))
    log_.Notice("at the cap of %d connections: closed the one idle the longest for a new one "
                "(%llu times in the last %d s)",
                options_.maxConnections, static_cast<unsigned long long>(times),
                kThrottleSeconds);
  Metrics::Add(HostMetrics().accepted);
  HostMetrics().sessionsOpen.fetch_add(1, std::memory_order_relaxed);
  log_.Request("%s connected", EndpointText(remote).c_str());
  connection->Start();
}

void Server::Stop(int number) {
  log_.Notice("signal %d: closing %s", number, listening_.c_str());
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptPause_.cancel();
  trim_.cancel();
  signals_.cancel(ignored);
  slots_.EvictAll("server stopping");
}

// Fills the cache with the chunks of every file below the release folder,
// in name order, until the cache is full. Requests arriving meanwhile build
// what they need themselves (or wait for the chunk being built).
void Server::Warm(std::shared_ptr<const ReleaseRoot> release) {
  namespace fs = std::filesystem;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::recursive_directory_iterator walk(release->path(), ec), last; !ec && walk != last;
       walk.increment(ec)) {
    if (!walk->is_regular_file(ec)) continue;
    std::string name = walk->path().lexically_relative(release->path()).string();
    std::replace(name.begin(), name.end(), '/', '\\');
    if (name.size() < kRequestTextCapacity) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  size_t files = 0, chunks = 0;
  for (const std::string& name : names) {
    ChunkRequest request{};
    snprintf(request.name, sizeof request.name, "%s", name.c_str());
    request.chunk = kSessionChunkSize;
    files++;
    for (uint64_t offset = 0; offset <= UINT32_MAX && !stopping_ && !cache_->Full();
         offset += kSessionChunkSize) {
      request.offset = static_cast<uint32_t>(offset);
      ReplyPtr reply = BuildReply(*release, request, options_.compress, cache_);
      if (reply->kind != ReplyKind::Scrambled && reply->kind != ReplyKind::Compressed) break;
      chunks++;
      if (reply->chunkLength < kSessionChunkSize) break;
    }
    if (stopping_ || cache_->Full()) break;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  CacheStats stats = cache_->Stats();
  log_.Notice("warm: %zu chunks of %zu of %zu files in %.1f s; cache holds %zu MiB%s", chunks,
              files, names.size(), seconds, stats.bytes >> 20,
              cache_->Full() ? " (full)" : "");
}

}  // namespace sessiond
