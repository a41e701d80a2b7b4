// The session host's TCP server: one strand per connection, each connection
// strictly request then reply, one deadline per connection, and a cap on how
// many connections are served at once.
#include "tools/sessiond/server.h"

#include <asio.hpp>

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sessiond {

const char* UsageText() {
  return
      "Usage: brevane-sessiond [options] RELEASE_FOLDER\n"
      "\n"
      "Serves the files of RELEASE_FOLDER (the manifest files.ver and every file it\n"
      "names) to installers over the session protocol. Names arrive '\\'-separated\n"
      "and are looked up below RELEASE_FOLDER only; a name or symbolic link that\n"
      "would lead outside it gets an empty reply.\n"
      "\n"
      "Options:\n"
      "  --root=DIR             the release folder (instead of RELEASE_FOLDER)\n"
      "  --address=ADDR         address to listen on (default 127.0.0.1)\n"
      "  --port=N               port to listen on (default 7000); 0 picks a free port.\n"
      "                         The chosen one is printed as 'listening ADDR:PORT'\n"
      "  --compress=MODE        auto: zlib-compress a chunk when that makes it smaller,\n"
      "                         else scramble it (default); always: compress every\n"
      "                         chunk; never: scramble every chunk\n"
      "  --idle-timeout=SEC     close a connection that sends no request for SEC\n"
      "                         seconds (default 3600). Installers keep their session\n"
      "                         open, unused, while they download from mirrors\n"
      "  --request-timeout=SEC  close a connection that takes longer than SEC seconds\n"
      "                         to finish sending a request or to take a reply\n"
      "                         (default 60)\n"
      "  --max-connections=N    serve at most N connections at once; more are closed\n"
      "                         on arrival (default 256)\n"
      "  --threads=N            threads serving connections (default 2)\n"
      "  --log=FILE             append the log to FILE instead of standard error\n"
      "  --quiet                log only start, stop and failures to start, not\n"
      "                         requests and connections\n"
      "  --help                 show this text\n"
      "\n"
      "SIGTERM or SIGINT closes every connection and exits with status 0.\n";
}

// Strict decimal in [low, high].
static bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long total = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    total = total * 10 + (c - '0');
  }
  if (total < low || total > high) return false;
  *value = total;
  return true;
}

OptionsResult ParseOptions(int argc, char** argv, ServerOptions* options, std::string* error) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return OptionsResult::Help;
    if (arg == "--quiet") {
      options->quiet = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0 || arg == "--") {
      if (!options->root.empty()) {
        *error = "more than one release folder given";
        return OptionsResult::Error;
      }
      options->root = arg;
      continue;
    }
    std::string key = arg;
    std::string value;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      key = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = arg + " needs a value";
      return OptionsResult::Error;
    }
    long number = 0;
    if (key == "--root") {
      options->root = value;
    } else if (key == "--address") {
      options->address = value;
    } else if (key == "--port") {
      if (!ParseNumber(value, 0, 65535, &number)) {
        *error = "--port must be 0 to 65535";
        return OptionsResult::Error;
      }
      options->port = static_cast<uint16_t>(number);
    } else if (key == "--compress") {
      if (!ParseCompressMode(value, &options->compress)) {
        *error = "--compress must be auto, always or never";
        return OptionsResult::Error;
      }
    } else if (key == "--idle-timeout") {
      if (!ParseNumber(value, 1, 86400, &number)) {
        *error = "--idle-timeout must be 1 to 86400 seconds";
        return OptionsResult::Error;
      }
      options->idleTimeoutSeconds = static_cast<int>(number);
    } else if (key == "--request-timeout") {
      if (!ParseNumber(value, 1, 86400, &number)) {
        *error = "--request-timeout must be 1 to 86400 seconds";
        return OptionsResult::Error;
      }
      options->requestTimeoutSeconds = static_cast<int>(number);
    } else if (key == "--max-connections") {
      if (!ParseNumber(value, 1, 100000, &number)) {
        *error = "--max-connections must be 1 to 100000";
        return OptionsResult::Error;
      }
      options->maxConnections = static_cast<int>(number);
    } else if (key == "--threads") {
      if (!ParseNumber(value, 1, 64, &number)) {
        *error = "--threads must be 1 to 64";
        return OptionsResult::Error;
      }
      options->threads = static_cast<int>(number);
    } else if (key == "--log") {
      options->logPath = value;
    } else {
      *error = "unknown option " + key;
      return OptionsResult::Error;
    }
  }
  if (options->root.empty()) {
    *error = "no release folder given";
    return OptionsResult::Error;
  }
  return OptionsResult::Run;
}

namespace {

// One line per event, stamped in UTC; lines from several threads never mix.
class Logger {
 public:
  ~Logger() {
    if (file_ != nullptr && file_ != stderr) fclose(file_);
  }
  bool Open(const std::string& path, bool quiet, std::string* error) {
    quiet_ = quiet;
    if (path.empty()) {
      file_ = stderr;
      return true;
    }
    file_ = fopen(path.c_str(), "a");
    if (file_ == nullptr) {
      *error = path + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  bool quiet() const { return quiet_; }

  // Requests and connections: left out with --quiet.
  __attribute__((format(printf, 2, 3))) void Request(const char* format, ...) {
    if (quiet_) return;
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
  }
  // Start, stop and failures: always.
  __attribute__((format(printf, 2, 3))) void Notice(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
  }

 private:
  void Write(const char* format, va_list args) {
    char line[2048];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    size_t used = strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%SZ ", &utc);
    int written = vsnprintf(line + used, sizeof line - used, format, args);
    if (written < 0) return;
    size_t length = used + static_cast<size_t>(written);
    if (length > sizeof line - 2) length = sizeof line - 2;  // cut, still one line
    line[length++] = '\n';
    std::lock_guard<std::mutex> hold(mutex_);
    fwrite(line, 1, length, file_);
    fflush(file_);
  }

  std::mutex mutex_;
  FILE* file_ = nullptr;
  bool quiet_ = false;
};

// A name from the wire, quoted, with bytes that could forge log lines shown
// as \xNN. Long names are cut: the log is for people.
std::string Printable(const char* text, size_t length) {
  std::string out = "\"";
  for (size_t i = 0; i < length && i < 300; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '"') {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (length > 300) out += "...";
  return out + "\"";
}

std::string EndpointText(const asio::ip::tcp::endpoint& endpoint) {
  std::string address = endpoint.address().to_string();
  if (endpoint.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(endpoint.port());
}

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

class Server {
 public:
  Server(const ServerOptions& options, const ReleaseRoot& root, Logger& log)
      : options_(options),
        root_(root),
        log_(log),
        strand_(asio::make_strand(io_)),
        acceptor_(strand_),
        signals_(strand_, SIGINT, SIGTERM) {}

  bool Listen(std::string* error) {
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

  void Run() {
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

  const ServerOptions& options() const { return options_; }
  const ReleaseRoot& root() const { return root_; }
  Logger& log() { return log_; }

  void Forget(Connection* connection) {
    std::lock_guard<std::mutex> hold(mutex_);
    live_.erase(connection);
  }

 private:
  void Accept() {
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

  void Admit(asio::ip::tcp::socket socket) {
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

  void Stop(int number) {
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

void Connection::Start() {
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [self] {
    self->Touch(self->server_.options().idleTimeoutSeconds);
    self->WatchDeadline();
    self->ReadHeader();
  });
}

// Sets the time by which the next step must be done. The watch wakes at the
// timer's expiry, so a later deadline needs nothing (the watch just waits
// again); an earlier one pulls the timer in, which wakes the watch at once.
void Connection::Touch(int seconds) {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  if (deadline_ < timer_.expiry()) timer_.expires_at(deadline_);
}

// The one wait chain per connection: started once, re-armed only here.
void Connection::WatchDeadline() {
  auto self = shared_from_this();
  timer_.expires_at(deadline_);
  timer_.async_wait([self](const asio::error_code&) {
    if (self->closed_) return;
    if (self->deadline_ <= std::chrono::steady_clock::now()) {
      self->Close("timed out");
      return;
    }
    self->WatchDeadline();
  });
}

void Connection::ReadHeader() {
  auto self = shared_from_this();
  Touch(server_.options().idleTimeoutSeconds);
  asio::async_read(socket_, asio::buffer(header_), [self](const asio::error_code& error, size_t) {
    if (self->closed_) return;
    if (error) {
      self->Close(error == asio::error::eof ? "closed by peer" : "receive failed");
      return;
    }
    uint32_t word = GetLengthWord(self->header_);
    if (word <= kSessionHeaderSize || word > kSessionHeaderSize + kMaxRequestText) {
      self->server_.log().Request("%s bad length word 0x%08X", self->peer_.c_str(), word);
      self->Close("bad request length");
      return;
    }
    self->ReadText(word - kSessionHeaderSize);
  });
}

void Connection::ReadText(uint32_t length) {
  auto self = shared_from_this();
  text_.resize(length);
  Touch(server_.options().requestTimeoutSeconds);
  asio::async_read(socket_, asio::buffer(text_), [self](const asio::error_code& error, size_t) {
    if (self->closed_) return;
    if (error) {
      self->Close(error == asio::error::eof ? "closed by peer mid-request" : "receive failed");
      return;
    }
    self->Handle();
  });
}

void Connection::Handle() {
  Logger& log = server_.log();
  size_t noticeLength = strlen(kVersionNotice);
  if (text_.size() == noticeLength && memcmp(text_.data(), kVersionNotice, noticeLength) == 0) {
    // The client reads no reply to the notice: answering would shift every
    // later reply by one.
    log.Request("%s %s notice", peer_.c_str(), kVersionNotice);
    ReadHeader();
    return;
  }
  ChunkRequest request;
  if (!ParseChunkRequest(text_.data(), static_cast<int32_t>(text_.size()), kSessionChunkSize,
                         &request)) {
    log.Request("%s malformed request %s", peer_.c_str(),
                Printable(text_.data(), text_.size()).c_str());
    Close("malformed request");
    return;
  }
  reply_ = BuildReply(server_.root(), request, server_.options().compress);
  if (!log.quiet()) {
    std::string name = Printable(request.name, strlen(request.name));
    if (reply_.note.empty()) {
      log.Request("%s %s offset=%u %s chunk=%u wire=%zu", peer_.c_str(), name.c_str(),
                  request.offset, ReplyKindName(reply_.kind), reply_.chunkLength,
                  reply_.wire.size());
    } else {
      log.Request("%s %s offset=%u %s wire=%zu (%s)", peer_.c_str(), name.c_str(),
                  request.offset, ReplyKindName(reply_.kind), reply_.wire.size(),
                  reply_.note.c_str());
    }
  }
  auto self = shared_from_this();
  Touch(server_.options().requestTimeoutSeconds);
  asio::async_write(socket_, asio::buffer(reply_.wire),
                    [self](const asio::error_code& error, size_t) {
                      if (self->closed_) return;
                      if (error) {
                        self->Close("send failed");
                        return;
                      }
                      self->ReadHeader();
                    });
}

void Connection::Close(const char* reason) {
  if (closed_) return;
  closed_ = true;
  server_.log().Request("%s closed: %s", peer_.c_str(), reason);
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  server_.Forget(this);
}

}  // namespace

int RunServer(const ServerOptions& options) {
  // A log on a closed pipe must not kill the server; sockets send without
  // SIGPIPE already.
  signal(SIGPIPE, SIG_IGN);
  Logger log;
  std::string error;
  if (!log.Open(options.logPath, options.quiet, &error)) {
    fprintf(stderr, "brevane-sessiond: %s\n", error.c_str());
    return 1;
  }
  ReleaseRoot root;
  if (!root.Open(options.root, &error)) {
    log.Notice("cannot serve %s", error.c_str());
    return 1;
  }
  Server server(options, root, log);
  if (!server.Listen(&error)) {
    log.Notice("cannot listen on %s", error.c_str());
    return 1;
  }
  server.Run();
  return 0;
}

}  // namespace sessiond
