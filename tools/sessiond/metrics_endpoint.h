// The metrics endpoint: a tiny HTTP server that answers GET /metrics with
// the host's counters. It runs on a thread and an event loop of its own, so
// a slow or silent scraper never takes time from serving installers.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace sessiond {

// A scrape that has not sent its request head by then is closed.
const int kScrapeTimeoutSeconds = 5;
// Request heads longer than this are refused (400).
const size_t kScrapeHeadLimit = 4096;
// Scrapes served at once; more are closed at accept.
const int kScrapeConnections = 8;

class MetricsEndpoint {
 public:
  // text() makes the body of each answer.
  explicit MetricsEndpoint(std::function<std::string()> text) : text_(std::move(text)) {}
  ~MetricsEndpoint() { Stop(); }
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // address:port as --metrics gives it. False with *error when it cannot
  // listen there.
  bool Listen(const std::string& address, uint16_t port, std::string* error);
  // Starts answering on its own thread.
  void Start();
  void Stop();
  // "address:port" actually listened on.
  const std::string& listening() const { return listening_; }

 private:
  void Accept();

  std::function<std::string()> text_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_{io_};
  asio::steady_timer pause_{io_};  // after a failed accept (out of descriptors)
  std::thread thread_;
  std::string listening_;
  std::atomic<int> open_{0};
};

// Parses --metrics's value: "PORT" (loopback), "ADDRESS:PORT" or
// "[IPV6]:PORT". False when it is neither.
bool ParseMetricsAddress(const std::string& text, std::string* address, uint16_t* port);

}  // namespace sessiond
