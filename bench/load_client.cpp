// A load client of the session host and, for reference, of a mirror's HTTP
// server: N concurrent sessions each fetch a whole release, every byte
// decoded and compared with the release folder, and the aggregate printed.
//
//   load_client --release=DIR --port=P [--host=127.0.0.1] [--sessions=N]
//               [--http=PREFIX] [--threads=T] [--seconds=S] [--idle=K]
//
// Session mode (default) speaks the installer's protocol: the version
// notice, then "name;offset;262144" per chunk, one request at a time.
// --http=PREFIX fetches PREFIX + each top-level mirror object over HTTP/1.1
// keep-alive instead and inflates it, as the installer's mirror path does.
// --seconds=S: sessions start over until S seconds have passed (for memory
// figures under steady load). --idle=K: K more sessions that send the notice
// and then hold their connection, unused, as installers do during the mirror
// phase. --decode-only: no network; the client's own ceiling (decoding and
// checking in memory). Prints one line of key=value figures.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_client.h"
#include "manifest/mirror_name.h"
#include "transfer/protocol.h"

std::vector<File> g_files;
std::atomic<uint64_t> g_errors{0};

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

namespace {

struct Settings {
  std::string release, host = "127.0.0.1", http;
  int port = 0, sessions = 1, threads = 1, idle = 0;
  double seconds = 0;
  bool decodeOnly = false;
};

// Room for two replies of the largest size, so that one can be read while
// another is still being used.
const size_t kInBuffer = 2 * (kSessionReceiveCapacity + 4);

Settings g_settings;
std::atomic<uint64_t> g_bytes{0}, g_fetches{0};
// Session mode: chunk requests sent and reply bytes received (length words
// included), to set against what the host says it served.
std::atomic<uint64_t> g_requests{0}, g_wire{0};

bool LoadRelease(const std::string& folder) {
  std::ifstream manifest(folder + "/files.ver", std::ios::binary);
  if (!manifest) return false;
  std::string line;
  bool sites = false;
  while (std::getline(manifest, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '[') {
      sites = line == "[SITES]";
      continue;
    }
    size_t equals = line.find('='), comma = line.find(',');
    if (sites || equals == std::string::npos || comma == std::string::npos) continue;
    File file;
    file.name = line.substr(0, equals);
    uint32_t size = static_cast<uint32_t>(strtoul(line.c_str() + equals + 1, nullptr, 10));
    uint32_t stamp = static_cast<uint32_t>(strtoul(line.c_str() + comma + 1, nullptr, 10));
    char object[kMirrorUrlCapacity];
    MirrorObjectName(object, sizeof object, stamp, static_cast<int32_t>(size), file.name.c_str(),
                     false);
    file.object = object;
    std::string path = folder + "/" + file.name;
    for (char& c : path)
      if (c == '\\') c = '/';
    std::ifstream in(path, std::ios::binary);
    file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (file.bytes.size() != size) {
      fprintf(stderr, "%s: %zu bytes, files.ver says %u\n", path.c_str(), file.bytes.size(), size);
      return false;
    }
    g_files.push_back(std::move(file));
  }
  return !g_files.empty();
}

// One session: a connection and where it is in the release.
struct Session {
  int fd = -1;
  bool idle = false;
  size_t file = 0;
  uint64_t offset = 0;       // file bytes verified so far
  std::string out;           // bytes still to send
  size_t sent = 0;
  std::unique_ptr<uint8_t[]> in;  // kInBuffer bytes once anything arrives
  size_t filled = 0;         // bytes received
  size_t used = 0;           // of those, bytes done with
  // Session protocol: the reply being read.
  // HTTP: the response being read.
  bool headerDone = false;
  uint64_t bodyLeft = 0;
  z_stream z{};
  bool zOpen = false;
  bool wantOut = true;       // registered for EPOLLOUT
  double started = 0;
};

class Worker {
 public:
  Worker(int active, int idle) : active_(active), idleCount_(idle) {}
  void Run(double deadline);

 private:
  bool Open(Session* s);
  void Fail(Session* s, const char* why);
  void Finish(Session* s);
  void Request(Session* s);
  bool Flush(Session* s);
  void Watch(Session* s);
  bool ReadSession(Session* s);
  bool ReadHttp(Session* s);
  bool Verify(Session* s, const uint8_t* data, size_t length);

  int active_, idleCount_;
  int epoll_ = -1;
  int running_ = 0;
  double deadline_ = 0;
  std::vector<uint8_t> scratch_ = std::vector<uint8_t>(kSessionReceiveCapacity);
};

bool Worker::Open(Session* s) {
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s->fd < 0) return false;
  int one = 1;
  setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(g_settings.port));
  inet_pton(AF_INET, g_settings.host.c_str(), &address.sin_addr);
  if (connect(s->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    close(s->fd);
    s->fd = -1;
    return false;
  }
  // Writable once the connection is made; after that only while a request
  // waits to be sent, or epoll would report it writable all the time.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
  event.data.ptr = s;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, s->fd, &event);
  s->wantOut = true;
  s->file = 0;
  s->offset = 0;
  s->filled = 0;
  s->used = 0;
  s->out.clear();
  s->sent = 0;
  s->headerDone = false;
  s->started = Now();
  if (g_settings.http.empty()) {
    uint8_t word[4];
    PutLengthWord(word, MessageLengthWord(static_cast<int32_t>(strlen(kVersionNotice))));
    s->out.assign(reinterpret_cast<char*>(word), 4);
    s->out += kVersionNotice;
  }
  if (!s->idle) Request(s);
  running_++;
  return true;
}

void Worker::Request(Session* s) {
  const File& file = g_files[s->file];
  if (g_settings.http.empty()) {
    char text[kRequestTextCapacity];
    FormatRequest(text, file.name.c_str(), static_cast<int32_t>(s->offset), kSessionChunkSize);
    g_requests++;
    uint8_t word[4];
    PutLengthWord(word, MessageLengthWord(static_cast<int32_t>(strlen(text))));
    s->out.append(reinterpret_cast<char*>(word), 4);
    s->out += text;
  } else {
    s->out += "GET " + g_settings.http + file.object + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    s->headerDone = false;
    if (s->zOpen) inflateEnd(&s->z);
    memset(&s->z, 0, sizeof s->z);
    inflateInit(&s->z);
    s->zOpen = true;
  }
}

bool Worker::Flush(Session* s) {
  while (s->sent < s->out.size()) {
    ssize_t n = send(s->fd, s->out.data() + s->sent, s->out.size() - s->sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN;
    s->sent += static_cast<size_t>(n);
  }
  s->out.clear();
  s->sent = 0;
  return true;
}

void Worker::Watch(Session* s) {
  bool want = !s->out.empty();
  if (want == s->wantOut) return;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u);
  event.data.ptr = s;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, s->fd, &event);
  s->wantOut = want;
}

void Worker::Fail(Session* s, const char* why) {
  static std::atomic<int> shown{0};
  if (shown++ < 5) fprintf(stderr, "session failed: %s (file %zu offset %llu)\n", why, s->file,
                           static_cast<unsigned long long>(s->offset));
  g_errors++;
  Finish(s);
}

void Worker::Finish(Session* s) {
  if (s->fd >= 0) close(s->fd);
  s->fd = -1;
  if (s->zOpen) inflateEnd(&s->z);
  s->zOpen = false;
  running_--;
  // With a time budget, a finished session starts over at once.
  if (!s->idle && Now() < deadline_) Open(s);
}

bool Worker::Verify(Session* s, const uint8_t* data, size_t length) {
  const File& file = g_files[s->file];
  if (s->offset + length > file.bytes.size() || memcmp(file.bytes.data() + s->offset, data, length) != 0)
    return false;
  s->offset += length;
  g_bytes += length;
  return true;
}

// Next file, or the end of the release.
static bool NextFile(Session* s) {
  s->file++;
  s->offset = 0;
  return s->file < g_files.size();
}

bool Worker::ReadSession(Session* s) {
  for (;;) {
    const uint8_t* at = s->in.get() + s->used;
    size_t have = s->filled - s->used;
    if (have < 4) return true;
    ReplyHeader header;
    ReplyFrame frame = DecodeReplyWord(GetLengthWord(at), &header);
    if (frame == kReplyEmpty) {
      s->used += 4;
      g_wire += 4;
      if (s->offset != g_files[s->file].bytes.size()) return false;  // cut short
      if (!NextFile(s)) {
        g_fetches++;
        Finish(s);
        return true;
      }
      Request(s);
      continue;
    }
    if (frame != kReplyPayload) return false;
    size_t need = 4 + static_cast<size_t>(header.payloadLength);
    if (have < need) return true;
    size_t chunk = 0;
    if (header.compressed) {
      uLongf produced = kSessionChunkSize;
      if (uncompress(scratch_.data(), &produced, at + 4, header.payloadLength) != Z_OK)
        return false;
      chunk = produced;
    } else {
      chunk = static_cast<size_t>(header.payloadLength);
      DescrambleCopy(scratch_.data(), at + 4, chunk);
    }
    s->used += need;
    g_wire += need;
    if (!Verify(s, scratch_.data(), chunk)) return false;
    if (chunk < static_cast<size_t>(kSessionChunkSize)) {
      if (s->offset != g_files[s->file].bytes.size()) return false;
      if (!NextFile(s)) {
        g_fetches++;
        Finish(s);
        return true;
      }
    }
    Request(s);
  }
}

bool Worker::ReadHttp(Session* s) {
  for (;;) {
    if (!s->headerDone) {
      const char* at = reinterpret_cast<const char*>(s->in.get() + s->used);
      std::string head(at, s->filled - s->used);
      size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) return true;
      if (head.compare(0, 12, "HTTP/1.1 200") != 0) return false;
      size_t length = head.find("Content-Length: ");
      if (length == std::string::npos || length > end) return false;
      s->bodyLeft = strtoull(head.c_str() + length + 16, nullptr, 10);
      s->used += end + 4;
      s->headerDone = true;
    }
    size_t have = s->filled - s->used;
    size_t take = have < s->bodyLeft ? have : static_cast<size_t>(s->bodyLeft);
    s->z.next_in = s->in.get() + s->used;
    s->z.avail_in = static_cast<uInt>(take);
    while (s->z.avail_in > 0) {
      s->z.next_out = scratch_.data();
      s->z.avail_out = static_cast<uInt>(scratch_.size());
      int rc = inflate(&s->z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) return false;
      if (!Verify(s, scratch_.data(), scratch_.size() - s->z.avail_out)) return false;
      if (rc == Z_STREAM_END) break;
    }
    s->used += take;
    s->bodyLeft -= take;
    if (s->bodyLeft > 0) return true;
    if (s->offset != g_files[s->file].bytes.size()) return false;
    if (!NextFile(s)) {
      g_fetches++;
      Finish(s);
      return true;
    }
    Request(s);
    if (s->used == s->filled) return true;
  }
}

void Worker::Run(double deadline) {
  deadline_ = deadline;
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  std::vector<std::unique_ptr<Session>> sessions;
  for (int i = 0; i < active_ + idleCount_; i++) {
    sessions.emplace_back(new Session);
    sessions.back()->idle = i >= active_;
    if (!Open(sessions.back().get())) {
      fprintf(stderr, "connect failed: %s\n", strerror(errno));
      g_errors++;
    }
  }
  std::vector<epoll_event> events(256);
  int idleOpen = idleCount_;
  // Active sessions run until done (or, with a time budget, until it ends);
  // idle ones are held until the time budget ends.
  for (;;) {
    bool activeLeft = running_ > idleOpen;
    bool holding = idleOpen > 0 && Now() < deadline_;
    // With a time budget, sessions still fetching when it ends stop there.
    if (deadline_ > 0 && Now() >= deadline_) activeLeft = false;
    if (!activeLeft && !holding) break;
    int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 200);
    for (int i = 0; i < n; i++) {
      Session* s = static_cast<Session*>(events[i].data.ptr);
      if (s->fd < 0) continue;
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        bool ok = true;
        // Received bytes go straight behind those not yet used; the used
        // ones are dropped first.
        if (!s->in) s->in.reset(new uint8_t[kInBuffer]);
        if (s->used > 0) {
          memmove(s->in.get(), s->in.get() + s->used, s->filled - s->used);
          s->filled -= s->used;
          s->used = 0;
        }
        while (s->filled < kInBuffer) {
          ssize_t got = recv(s->fd, s->in.get() + s->filled, kInBuffer - s->filled, 0);
          if (got > 0) {
            s->filled += static_cast<size_t>(got);
            continue;
          }
          if (got == 0 || (errno != EAGAIN && errno != EINTR)) ok = false;
          break;
        }
        int fd = s->fd;
        bool used = g_settings.http.empty() ? ReadSession(s) : ReadHttp(s);
        if (!used) {
          if (s->idle) idleOpen--;
          Fail(s, "bad or short reply");
          continue;
        }
        if (!ok && s->fd == fd) {
          if (s->idle) idleOpen--;
          Fail(s, "closed by the server");
          continue;
        }
      }
      if (s->fd < 0) continue;
      if (!Flush(s)) {
        if (s->idle) idleOpen--;
        Fail(s, "send failed");
        continue;
      }
      Watch(s);
    }
  }
  for (auto& s : sessions)
    if (s->fd >= 0) close(s->fd);
  close(epoll_);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
    if (arg.rfind("--release=", 0) == 0) g_settings.release = value;
    else if (arg.rfind("--host=", 0) == 0) g_settings.host = value;
    else if (arg.rfind("--port=", 0) == 0) g_settings.port = atoi(value.c_str());
    else if (arg.rfind("--sessions=", 0) == 0) g_settings.sessions = atoi(value.c_str());
    else if (arg.rfind("--threads=", 0) == 0) g_settings.threads = atoi(value.c_str());
    else if (arg.rfind("--idle=", 0) == 0) g_settings.idle = atoi(value.c_str());
    else if (arg.rfind("--seconds=", 0) == 0) g_settings.seconds = atof(value.c_str());
    else if (arg.rfind("--http=", 0) == 0) g_settings.http = value;
    else if (arg == "--decode-only") g_settings.decodeOnly = true;
    else {
      fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (g_settings.release.empty() || (g_settings.port == 0 && !g_settings.decodeOnly) ||
      !LoadRelease(g_settings.release)) {
    fprintf(stderr, "usage: load_client --release=DIR --port=P [...] (see the source)\n");
    return 2;
  }
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  uint64_t releaseBytes = 0;
  for (const File& f : g_files) releaseBytes += f.bytes.size();

  if (g_settings.decodeOnly)
    return DecodeOnly(g_settings.threads < 1 ? 1 : g_settings.threads, !g_settings.http.empty());

  double start = Now();
  double deadline = g_settings.seconds > 0 ? start + g_settings.seconds : 0;
  int threads = g_settings.threads < 1 ? 1 : g_settings.threads;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; t++) {
    int active = g_settings.sessions / threads + (t < g_settings.sessions % threads ? 1 : 0);
    int idle = g_settings.idle / threads + (t < g_settings.idle % threads ? 1 : 0);
    pool.emplace_back([=] { Worker(active, idle).Run(deadline); });
  }
  for (auto& t : pool) t.join();
  double seconds = Now() - start;
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("sessions=%d idle=%d files=%zu release_bytes=%llu fetches=%llu bytes=%llu seconds=%.3f "
         "mbps=%.1f errors=%llu client_cpu=%.2f requests=%llu wire_bytes=%llu\n",
         g_settings.sessions, g_settings.idle, g_files.size(),
         static_cast<unsigned long long>(releaseBytes),
         static_cast<unsigned long long>(g_fetches.load()),
         static_cast<unsigned long long>(g_bytes.load()), seconds,
         static_cast<double>(g_bytes.load()) / 1e6 / seconds,
         static_cast<unsigned long long>(g_errors.load()), cpu,
         static_cast<unsigned long long>(g_requests.load()),
         static_cast<unsigned long long>(g_wire.load()));
  return g_errors.load() == 0 ? 0 : 1;
}
