// The metrics endpoint: one request per connection, answered and closed.
#include "tools/sessiond/metrics_endpoint.h"

#include <stdlib.h>

#include <memory>

#include "tools/sessiond/connection.h"
#include "tools/sessiond/metrics.h"

namespace sessiond {

namespace {

// One scrape: read the head, answer, close. Owns its socket and timer.
class Scrape : public std::enable_shared_from_this<Scrape> {
 public:
  Scrape(asio::ip::tcp::socket socket, const std::function<std::string()>& text,
         std::atomic<int>& open)
      : socket_(std::move(socket)), timer_(socket_.get_executor()), text_(text), open_(open) {}
  ~Scrape() { open_--; }

  void Start() {
    auto self = shared_from_this();
    timer_.expires_after(std::chrono::seconds(kScrapeTimeoutSeconds));
    timer_.async_wait([self](const asio::error_code& error) {
      if (!error) self->socket_.close();
    });
    asio::async_read_until(socket_, asio::dynamic_buffer(head_, kScrapeHeadLimit), "\r\n\r\n",
                           [self](const asio::error_code& error, size_t) { self->Answer(error); });
  }

 private:
  void Answer(const asio::error_code& error) {
    if (error && error != asio::error::not_found) return;  // closed, timed out or cut
    ScrapeVerdict verdict = error ? ScrapeVerdict::BadRequest : JudgeScrape(head_);
    std::string body;
    const char* status = "200 OK";
    const char* extra = "";
    switch (verdict) {
      case ScrapeVerdict::Metrics:
        body = text_();
        break;
      case ScrapeVerdict::NotFound:
        status = "404 Not Found";
        body = "only /metrics is served here\n";
        break;
      case ScrapeVerdict::MethodNotAllowed:
        status = "405 Method Not Allowed";
        extra = "Allow: GET\r\n";
        body = "only GET is served here\n";
        break;
      case ScrapeVerdict::BadRequest:
        status = "400 Bad Request";
        body = "bad request\n";
        break;
    }
    reply_ = std::string("HTTP/1.1 ") + status +
             "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n" + extra +
             "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
             body;
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_), [self](const asio::error_code&, size_t) {
      asio::error_code ignored;
      self->socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
      self->socket_.close(ignored);
      self->timer_.cancel();
    });
  }

  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  const std::function<std::string()>& text_;
  std::atomic<int>& open_;
  std::string head_;
  std::string reply_;
};

}  // namespace

bool ParseMetricsAddress(const std::string& text, std::string* address, uint16_t* port) {
  std::string host = "127.0.0.1", number = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    number = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    if (host.empty()) return false;
  }
  if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long value = strtoul(number.c_str(), nullptr, 10);
  if (value > 65535) return false;
  *address = host;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool MetricsEndpoint::Listen(const std::string& address, uint16_t port, std::string* error) {
  try {
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    listening_ = EndpointText(acceptor_.local_endpoint());
  } catch (const std::exception& failure) {
    *error = "metrics " + address + ":" + std::to_string(port) + ": " + failure.what();
    return false;
  }
  return true;
}

void MetricsEndpoint::Start() {
  Accept();
  thread_ = std::thread([this] { io_.run(); });
}

void MetricsEndpoint::Stop() {
  if (!thread_.joinable()) return;
  io_.stop();
  thread_.join();
}

void MetricsEndpoint::Accept() {
  acceptor_.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors, most likely: try again a little later, not at once.
      pause_.expires_after(std::chrono::milliseconds(100));
      pause_.async_wait([this](const asio::error_code& waited) {
        if (!waited) Accept();
      });
      return;
    }
    {
      if (open_.load() >= kScrapeConnections) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        open_++;
        std::make_shared<Scrape>(std::move(socket), text_, open_)->Start();
      }
    }
    Accept();
  });
}

}  // namespace sessiond
