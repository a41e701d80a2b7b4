// The session host: replies decode back to the file bytes through a real
// zlib inflate or the descramble step, files end the way the client expects,
// nothing outside the release folder is ever served, and the real server
// keeps serving when one connection misbehaves and stops cleanly on SIGTERM.
#include "tools/sessiond/reply.h"
#include "tools/sessiond/server.h"
#include "tools/sessiond/slots.h"
#include "tests/support/child_process.h"
#include "tests/tools/link_swapper.h"
#include "transfer/protocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using sessiond::CompressMode;
using sessiond::Reply;
using sessiond::ReplyKind;

namespace {

std::vector<uint8_t> RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Half text-like (compresses), half random (does not).
std::vector<uint8_t> MixedBytes(size_t count, unsigned seed) {
  std::vector<uint8_t> bytes = RandomBytes(count, seed);
  for (size_t i = 0; i < count / 2; i++) bytes[i] = static_cast<uint8_t>("release "[i % 8]);
  return bytes;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Decodes one framed reply the way the installer does; fails the test on
// anything the installer would reject.
std::vector<uint8_t> DecodeWire(const uint8_t* wire, size_t size) {
  EXPECT_GE(size, 4u);
  if (size < 4) return {};
  ReplyHeader header;
  ReplyFrame frame = DecodeReplyWord(GetLengthWord(wire), &header);
  EXPECT_TRUE(frame == kReplyPayload || frame == kReplyEmpty) << frame;
  if (frame == kReplyEmpty) {
    EXPECT_EQ(size, 4u);
    return {};
  }
  EXPECT_EQ(size, 4u + static_cast<size_t>(header.payloadLength));
  std::vector<uint8_t> payload(wire + 4, wire + size);
  if (!header.compressed) {
    Descramble(payload.data(), static_cast<int32_t>(payload.size()));
    return payload;
  }
  // One complete zlib stream, every byte of it used, at most one chunk out.
  std::vector<uint8_t> chunk(kSessionChunkSize);
  uLongf produced = chunk.size();
  uLong consumed = payload.size();
  EXPECT_EQ(uncompress2(chunk.data(), &produced, payload.data(), &consumed), Z_OK);
  EXPECT_EQ(consumed, payload.size());
  chunk.resize(produced);
  return chunk;
}

std::vector<uint8_t> DecodeReply(const Reply& reply) {
  return DecodeWire(reply.wire.data(), reply.wire.size());
}

ChunkRequest Request(const std::string& name, uint32_t offset, uint32_t chunk = kSessionChunkSize) {
  ChunkRequest request{};
  snprintf(request.name, sizeof request.name, "%s", name.c_str());
  request.offset = offset;
  request.chunk = chunk;
  return request;
}

const std::vector<uint8_t> kEmptyWire = {4, 0, 0, 0};

class ReleaseFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sessiond-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ / "release";
    outside_ = base_ / "outside";
    manifest_ = {'[', 'C', 'L', 'I', 'E', 'N', 'T', ']', '\r', '\n'};
    large_ = MixedBytes(600000, 1);
    exact_ = RandomBytes(kSessionChunkSize, 2);
    WriteFile(root_ / "files.ver", manifest_);
    WriteFile(root_ / "bin" / "app.dll", large_);
    WriteFile(root_ / "exact.bin", exact_);
    WriteFile(outside_ / "secret", {'s', 'e', 'c', 'r', 'e', 't'});
    fs::create_symlink(outside_ / "secret", root_ / "link_out");
    fs::create_directory_symlink(outside_, root_ / "dir_out");
    fs::create_symlink("../files.ver", root_ / "bin" / "link_in");
    std::string error;
    ASSERT_TRUE(release_.Open(root_.string(), &error)) << error;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  fs::path base_, root_, outside_;
  std::vector<uint8_t> manifest_, large_, exact_;
  sessiond::ReleaseRoot release_;
};

TEST(EncodeChunk, CompressesOnlyWhenSmallerUnlessTold) {
  const std::vector<uint8_t> text(5000, 'a');
  const std::vector<uint8_t> noise = RandomBytes(5000, 3);
  struct Case {
    const std::vector<uint8_t>* data;
    CompressMode mode;
    ReplyKind kind;
  };
  const Case cases[] = {
      {&text, CompressMode::Auto, ReplyKind::Compressed},
      {&noise, CompressMode::Auto, ReplyKind::Scrambled},
      {&noise, CompressMode::Always, ReplyKind::Compressed},
      {&text, CompressMode::Never, ReplyKind::Scrambled},
  };
  for (const Case& c : cases) {
    Reply reply;
    sessiond::EncodeChunk(c.data->data(), c.data->size(), c.mode, &reply);
    EXPECT_EQ(reply.kind, c.kind) << sessiond::CompressModeName(c.mode);
    EXPECT_EQ(reply.chunkLength, c.data->size());
    bool flagged = (GetLengthWord(reply.wire.data()) & kReplyCompressedFlag) != 0;
    EXPECT_EQ(flagged, c.kind == ReplyKind::Compressed);
    if (c.kind == ReplyKind::Scrambled) {
      // Scrambled, not sent in the clear.
      EXPECT_NE(memcmp(reply.wire.data() + 4, c.data->data(), c.data->size()), 0);
    } else if (c.mode == CompressMode::Auto) {
      EXPECT_LT(reply.wire.size() - 4, c.data->size());
    }
    EXPECT_EQ(DecodeReply(reply), *c.data);
  }
}

TEST(EncodeChunk, EmptyChunkIsTheBareWordInEveryMode) {
  for (CompressMode mode : {CompressMode::Auto, CompressMode::Always, CompressMode::Never}) {
    Reply reply;
    sessiond::EncodeChunk(nullptr, 0, mode, &reply);
    EXPECT_EQ(reply.wire, kEmptyWire);
    EXPECT_EQ(reply.kind, ReplyKind::End);
  }
}

TEST(EncodeChunk, WorstCaseCompressedChunkFitsTheClientBuffer) {
  const std::vector<uint8_t> noise = RandomBytes(kSessionChunkSize, 4);
  Reply reply;
  sessiond::EncodeChunk(noise.data(), noise.size(), CompressMode::Always, &reply);
  ASSERT_EQ(reply.kind, ReplyKind::Compressed);
  EXPECT_LE(reply.wire.size() - 4, static_cast<size_t>(kSessionReceiveCapacity));
  EXPECT_EQ(DecodeReply(reply), noise);
}

TEST_F(ReleaseFolder, FileArrivesInChunksUntilAShortOne) {
  struct Case {
    std::string name;
    const std::vector<uint8_t>* content;
    std::vector<uint32_t> lengths;  // chunk per request, last one short
  };
  const Case cases[] = {
      {"bin\\app.dll", &large_, {262144, 262144, 75712}},
      {"exact.bin", &exact_, {262144, 0}},
      {"files.ver", &manifest_, {10}},
  };
  for (CompressMode mode : {CompressMode::Auto, CompressMode::Always, CompressMode::Never}) {
    for (const Case& c : cases) {
      std::vector<uint8_t> received;
      for (uint32_t expected : c.lengths) {
        Reply reply = *sessiond::BuildReply(
            release_, Request(c.name, static_cast<uint32_t>(received.size())), mode);
        std::vector<uint8_t> chunk = DecodeReply(reply);
        ASSERT_EQ(chunk.size(), expected) << c.name << " at " << received.size();
        EXPECT_EQ(reply.chunkLength, expected);
        if (expected == 0) {
          EXPECT_EQ(reply.wire, kEmptyWire);
          EXPECT_EQ(reply.kind, ReplyKind::End);
        }
        received.insert(received.end(), chunk.begin(), chunk.end());
      }
      EXPECT_EQ(received, *c.content) << c.name;
    }
  }
}

TEST_F(ReleaseFolder, OffsetsPastTheEndAndSmallChunks) {
  Reply past = *sessiond::BuildReply(release_, Request("files.ver", 11), CompressMode::Auto);
  EXPECT_EQ(past.kind, ReplyKind::End);
  EXPECT_EQ(past.wire, kEmptyWire);
  Reply far = *sessiond::BuildReply(release_, Request("bin\\app.dll", 4294967295u), CompressMode::Auto);
  EXPECT_EQ(far.wire, kEmptyWire);

  Reply small = *sessiond::BuildReply(release_, Request("bin\\app.dll", 599000, 300), CompressMode::Never);
  std::vector<uint8_t> expected(large_.begin() + 599000, large_.begin() + 599300);
  EXPECT_EQ(DecodeReply(small), expected);
}

// A delta update asks for ranges with its own chunk size: every mode, and
// through the reply cache, gives exactly that range, never a whole chunk
// cached for the same offset, nor the reverse.
TEST_F(ReleaseFolder, ASmallerChunkSizeIsHonouredInEveryModeAndThroughTheCache) {
  sessiond::ReplyCache cache(4 << 20);
  for (CompressMode mode : {CompressMode::Auto, CompressMode::Always, CompressMode::Never}) {
    for (uint32_t length : {262144u, 4096u, 1u, 70000u, 262144u}) {
      Reply reply = *sessiond::BuildReply(release_, Request("bin\\app.dll", 300000, length), mode,
                                          &cache);
      size_t end = std::min<size_t>(large_.size(), 300000 + size_t{length});
      std::vector<uint8_t> expected(large_.begin() + 300000, large_.begin() + end);
      EXPECT_EQ(DecodeReply(reply), expected) << length;
      EXPECT_EQ(reply.chunkLength, expected.size());
    }
  }
}

TEST_F(ReleaseFolder, NothingOutsideTheRootIsServed) {
  struct Case {
    const char* name;
    ReplyKind kind;
  };
  const Case cases[] = {
      {"..\\outside\\secret", ReplyKind::Refused},
      {"bin\\..\\..\\outside\\secret", ReplyKind::Refused},
      {"../outside/secret", ReplyKind::Refused},
      {"link_out", ReplyKind::Refused},
      {"bin\\link_in", ReplyKind::Refused},  // no link is followed, even one that stays inside
      {"dir_out\\secret", ReplyKind::Refused},
      {"/etc/passwd", ReplyKind::Refused},
      {"C:\\secret", ReplyKind::Refused},
      {"missing.dll", ReplyKind::Missing},
      {"bin", ReplyKind::Missing},
      {"files.ver\\x", ReplyKind::Missing},
  };
  for (const Case& c : cases) {
    Reply reply = *sessiond::BuildReply(release_, Request(c.name, 0), CompressMode::Auto);
    EXPECT_EQ(reply.kind, c.kind) << c.name;
    EXPECT_EQ(reply.wire, kEmptyWire) << c.name;
    EXPECT_FALSE(reply.note.empty()) << c.name;
  }
}

TEST(ServerOptions, RefusesBadValues) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--port=65536", "r"},
      {"--port=-1", "r"},
      {"--compress=sometimes", "r"},
      {"--idle-timeout=0", "r"},
      {"--request-timeout=86401", "r"},
      {"--max-connections=x", "r"},
      {"--threads"},
      {"--bogus=1", "r"},
      {"r", "s"},
  };
  for (const auto& words : bad) {
    std::vector<std::string> storage = {"brevane-sessiond"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) argv.push_back(word.data());
    sessiond::ServerOptions options;
    std::string error;
    EXPECT_EQ(sessiond::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error),
              sessiond::OptionsResult::Error)
        << (words.empty() ? "" : words[0]);
    EXPECT_FALSE(error.empty());
  }
  std::vector<std::string> storage = {"x", "--port", "0", "--compress=never", "--quiet", "--root=/r"};
  std::vector<char*> argv;
  for (std::string& word : storage) argv.push_back(word.data());
  sessiond::ServerOptions options;
  std::string error;
  ASSERT_EQ(sessiond::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error),
            sessiond::OptionsResult::Run);
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.compress, CompressMode::Never);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.root, "/r");
}

// ---- The slots' policy ----------------------------------------------------

class FakeHolder : public sessiond::SlotHolder {
 public:
  void Evict(sessiond::EvictCause, const char* reason) override { evicted = reason; }
  const char* evicted = nullptr;
};

TEST(SessionSlots, OldestIdleMakesRoomAndBusyOnesStay) {
  sessiond::SessionSlots slots(3, 0);
  FakeHolder a, b, c, d, e, f;
  bool madeRoom = true;
  ASSERT_EQ(slots.Admit(&a, "x", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_FALSE(madeRoom);
  ASSERT_EQ(slots.Admit(&b, "x", &madeRoom), sessiond::Admission::Admitted);
  ASSERT_EQ(slots.Admit(&c, "x", &madeRoom), sessiond::Admission::Admitted);
  // a, the oldest, is being served; b went idle before c did, then c asks
  // and goes idle again: b is now the one idle the longest.
  ASSERT_TRUE(slots.Busy(&a));
  ASSERT_TRUE(slots.Busy(&c));
  slots.Idle(&c);
  ASSERT_EQ(slots.Admit(&d, "x", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_TRUE(madeRoom);
  EXPECT_NE(b.evicted, nullptr);
  EXPECT_EQ(a.evicted, nullptr);
  EXPECT_EQ(c.evicted, nullptr);
  EXPECT_FALSE(slots.Busy(&b));  // its request came too late: it closes
  slots.Leave(&b);               // and leaving twice frees nothing twice
  EXPECT_EQ(slots.held(), 3u);

  // Newcomers idle since arrival: c goes before d.
  ASSERT_EQ(slots.Admit(&e, "x", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_NE(c.evicted, nullptr);
  EXPECT_EQ(d.evicted, nullptr);
  // Everyone busy: the newcomer is the one turned away.
  ASSERT_TRUE(slots.Busy(&d));
  ASSERT_TRUE(slots.Busy(&e));
  EXPECT_EQ(slots.Admit(&f, "x", &madeRoom), sessiond::Admission::Full);
  EXPECT_FALSE(madeRoom);
  EXPECT_EQ(slots.idle(), 0u);
  // A slot that frees is taken without evicting anyone.
  slots.Leave(&a);
  EXPECT_EQ(slots.Admit(&f, "x", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_FALSE(madeRoom);
  slots.EvictAll("stop");
  EXPECT_EQ(slots.held(), 0u);
  EXPECT_NE(d.evicted, nullptr);
  EXPECT_NE(f.evicted, nullptr);
}

TEST(SessionSlots, AddressCapEvictsNoOneAndCountsLeaves) {
  sessiond::SessionSlots slots(2, 1);
  FakeHolder a, b, c, d;
  bool madeRoom = false;
  ASSERT_EQ(slots.Admit(&a, "one", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_EQ(slots.Admit(&b, "one", &madeRoom), sessiond::Admission::AddressFull);
  ASSERT_EQ(slots.Admit(&c, "two", &madeRoom), sessiond::Admission::Admitted);
  // At the cap: a third address takes a's place, and so frees "one".
  ASSERT_EQ(slots.Admit(&d, "three", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_TRUE(madeRoom);
  EXPECT_NE(a.evicted, nullptr);
  EXPECT_EQ(b.evicted, nullptr);
  EXPECT_EQ(slots.Admit(&b, "one", &madeRoom), sessiond::Admission::Admitted);
  EXPECT_NE(c.evicted, nullptr);
  EXPECT_EQ(slots.held(), 2u);
}

// ---- The real server over TCP -------------------------------------------

// The server process, started on a free port; killed by its own PID if a
// test leaves early.
class ServerProcess {
 public:
  // descriptors: when not 0, the server's descriptor limit (soft and hard).
  bool Start(const std::vector<std::string>& arguments, const char* binary = SESSIOND_BINARY,
             rlim_t descriptors = 0) {
    std::vector<std::string> argv = {"brevane-sessiond", "--port=0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::string line = child_.Start(binary, argv, 30000, descriptors);
    const std::string prefix = "listening 127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    port_ = static_cast<uint16_t>(atoi(line.c_str() + prefix.size()));
    return port_ != 0;
  }
  // Waits at most 20 s for the exit; returns the raw wait status or -1.
  int Terminate() { return child_.Terminate(); }
  uint16_t port() const { return port_; }
  pid_t pid() const { return child_.pid(); }
  // CPU seconds (user and system) the server has used so far.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; i++)
      if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  testsupport::ChildProcess child_;
  uint16_t port_ = 0;
};

// A blocking client socket with bounded receive waits.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval wait = {10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  bool SendRaw(const void* data, size_t size) {
    return send(fd_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  // One send, as the installer's: a word and its text in two would wait on
  // the delayed acknowledgement.
  bool SendText(const std::string& text) {
    std::string message(4, '\0');
    PutLengthWord(reinterpret_cast<uint8_t*>(&message[0]),
                  MessageLengthWord(static_cast<int32_t>(text.size())));
    message += text;
    return SendRaw(message.data(), message.size());
  }
  // Fills size bytes; false on close, error or time-out.
  bool Receive(uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
      ssize_t n = recv(fd_, data + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  // The decoded chunk of one reply; false when the connection ended.
  bool Ask(const std::string& name, uint32_t offset, std::vector<uint8_t>* chunk) {
    if (!SendText(name + ";" + std::to_string(offset) + ";262144")) return false;
    std::vector<uint8_t> wire(4);
    if (!Receive(wire.data(), 4)) return false;
    ReplyHeader header;
    ReplyFrame frame = DecodeReplyWord(GetLengthWord(wire.data()), &header);
    if (frame != kReplyPayload && frame != kReplyEmpty) return false;
    wire.resize(4 + static_cast<size_t>(header.payloadLength));
    if (!Receive(wire.data() + 4, wire.size() - 4)) return false;
    *chunk = DecodeWire(wire.data(), wire.size());
    return true;
  }
  // True when nothing arrives and the connection stays open for ms.
  bool StillOpenAfter(int ms) {
    pollfd watch = {fd_, POLLIN, 0};
    return poll(&watch, 1, ms) == 0;
  }
  // True when the server closed this connection (end of stream, not a time-out).
  bool ClosedByServer() {
    uint8_t byte;
    return recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
};

TEST_F(ReleaseFolder, RealServerSurvivesGarbageAndStopsCleanly) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--log=" + (base_ / "log").string(), root_.string()}));

  Client installer(server.port());
  ASSERT_TRUE(installer.connected());
  // The notice gets no reply, so the next reply answers the manifest request.
  ASSERT_TRUE(installer.SendText("#UPDVER"));
  std::vector<uint8_t> chunk;
  ASSERT_TRUE(installer.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, manifest_);

  // Malformed text, an oversized length word, and a cut-off request: each
  // closes its own connection only.
  Client garbage(server.port());
  ASSERT_TRUE(garbage.SendText("not a request"));
  EXPECT_TRUE(garbage.ClosedByServer());
  Client huge(server.port());
  const uint8_t word[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(huge.SendRaw(word, 4));
  EXPECT_TRUE(huge.ClosedByServer());
  {
    Client cut(server.port());
    const uint8_t half[6] = {20, 0, 0, 0, 'f', 'i'};
    ASSERT_TRUE(cut.SendRaw(half, sizeof half));
  }

  std::vector<uint8_t> received;
  for (uint32_t offset : {0u, 262144u, 524288u}) {
    ASSERT_TRUE(installer.Ask("bin\\app.dll", offset, &chunk));
    received.insert(received.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(received, large_);
  ASSERT_TRUE(installer.Ask("link_out", 0, &chunk));
  EXPECT_TRUE(chunk.empty());

  int status = server.Terminate();
  ASSERT_NE(status, -1) << "server did not stop within 20 s";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(installer.ClosedByServer());

  std::ifstream log(base_ / "log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"bin\\app.dll\" offset=524288"), std::string::npos);
  EXPECT_NE(text.find("malformed request \"not a request\""), std::string::npos);
  EXPECT_NE(text.find("\"link_out\" offset=0 refused"), std::string::npos);
}

// A writer of the release exchanges a file and a sub-folder with links to a
// secret outside it, in a tight loop, while an installer asks for both
// names: whatever comes back is release bytes or an empty reply, with the
// reply cache and without it.
TEST_F(ReleaseFolder, RealServerNeverServesThroughASwappedLink) {
  const std::vector<uint8_t> top = MixedBytes(5000, 7), deep = MixedBytes(5000, 8),
                             secret = MixedBytes(5000, 9);
  WriteFile(root_ / "swap" / "data.bin", deep);
  WriteFile(root_ / "top.bin", top);
  WriteFile(outside_ / "data.bin", secret);
  fs::create_directory_symlink(outside_, base_ / "parked_dir");
  fs::create_symlink(outside_ / "data.bin", base_ / "parked_file");
  for (const char* cache : {"--cache-size=64M", "--cache-size=0"}) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--quiet", cache, root_.string()}));
    auto client = std::make_unique<Client>(server.port());
    ASSERT_TRUE(client->SendText("#UPDVER"));
    long inside = 0, empty = 0, leaked = 0, other = 0, closed = 0;
    {
      LinkSwapper swapper({{root_ / "swap", base_ / "parked_dir"},
                           {root_ / "top.bin", base_ / "parked_file"}});
      time_t end = time(nullptr) + 3;
      for (int i = 0; i < 40000 && time(nullptr) < end; i++) {
        std::vector<uint8_t> chunk;
        if (!client->Ask(i % 2 ? "swap\\data.bin" : "top.bin", 0, &chunk)) {
          closed++;  // a read error closes the connection; the installer reconnects
          client = std::make_unique<Client>(server.port());
          ASSERT_TRUE(client->SendText("#UPDVER"));
          continue;
        }
        if (chunk.empty()) empty++;
        else if (chunk == top || chunk == deep) inside++;
        else if (chunk == secret) leaked++;
        else other++;
      }
      swapper.Stop();
      printf("%s: %ld exchanges; %ld replies of release bytes, %ld empty, %ld closed, %ld of "
             "the secret\n", cache, swapper.swaps(), inside, empty, closed, leaked);
      EXPECT_GT(swapper.swaps(), 1000);
    }
    EXPECT_EQ(leaked, 0) << cache;
    EXPECT_EQ(other, 0) << cache;
    EXPECT_GT(inside, 0) << cache;  // the loop did reach the files
    EXPECT_GT(empty, 0) << cache;   // and did meet the links
    EXPECT_EQ(closed, 0) << cache;
    EXPECT_NE(server.Terminate(), -1);
  }
}

TEST_F(ReleaseFolder, RealServerCapsConnectionsAndDropsIdleOnes) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--quiet", "--max-connections=1", "--idle-timeout=3", root_.string()}));
  Client first(server.port());
  std::vector<uint8_t> chunk;
  ASSERT_TRUE(first.Ask("files.ver", 0, &chunk));  // now certainly admitted
  // At the cap the idle one makes room for the newcomer (once the host has
  // finished sending: until then it counts as busy).
  ASSERT_TRUE(first.StillOpenAfter(200));
  Client second(server.port());
  ASSERT_TRUE(second.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, manifest_);
  EXPECT_TRUE(first.ClosedByServer());
  EXPECT_TRUE(second.ClosedByServer());  // after the idle time-out, within the 10 s wait
  int status = server.Terminate();
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(ReleaseFolder, RealServerDropsARequestThatStalls) {
  // A long idle allowance must not let a half-sent request hold the slot.
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--quiet", "--idle-timeout=600", "--request-timeout=1", root_.string()}));
  Client stalled(server.port());
  std::vector<uint8_t> chunk;
  ASSERT_TRUE(stalled.Ask("files.ver", 0, &chunk));
  const uint8_t half[6] = {20, 0, 0, 0, 'f', 'i'};
  ASSERT_TRUE(stalled.SendRaw(half, sizeof half));
  EXPECT_TRUE(stalled.ClosedByServer());  // well within the 10 s receive wait
  int status = server.Terminate();
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- Starvation, caps, releases and descriptors ------------------------

fs::path ReleaseBinary() { return fs::path(SESSIOND_RELEASE_BINARY); }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(ReleaseFolder, SilentConnectionsGetAShortAllowanceAndStarveNoOne) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--quiet", "--first-request-timeout=2", "--idle-timeout=600",
                            root_.string()}));
  // More silent connections than the old fixed cap of 256.
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 1000; i++) {
    silent.emplace_back(new Client(server.port()));
    ASSERT_TRUE(silent.back()->connected()) << i;
  }
  Client installer(server.port());
  ASSERT_TRUE(installer.SendText("#UPDVER"));
  std::vector<uint8_t> chunk, received;
  for (uint32_t offset : {0u, 262144u, 524288u}) {
    ASSERT_TRUE(installer.Ask("bin\\app.dll", offset, &chunk));
    received.insert(received.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(received, large_);
  // The silent ones go after the short allowance; the installer, idle
  // after its requests, stays for the long one.
  EXPECT_TRUE(silent.front()->ClosedByServer());
  EXPECT_TRUE(silent.back()->ClosedByServer());
  EXPECT_TRUE(installer.StillOpenAfter(1500));
  ASSERT_TRUE(installer.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, manifest_);
  EXPECT_EQ(WEXITSTATUS(server.Terminate()), 0);
}

// Sockets from one address that send the version notice and then idle, as
// many as the packaged cap and then four times that: each newcomer at the
// cap takes the place of the one idle the longest, so an installer arriving
// after them all is served whole.
TEST_F(ReleaseFolder, NoticeIdlersAtTheCapGiveWayToAnInstaller) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--quiet", "--max-connections=256", root_.string()}));
  Client early(server.port());
  ASSERT_TRUE(early.SendText("#UPDVER"));
  std::vector<uint8_t> chunk, received;
  ASSERT_TRUE(early.Ask("bin\\app.dll", 0, &chunk));
  received = chunk;
  std::vector<std::unique_ptr<Client>> idlers;
  for (int wave : {256, 1024}) {
    while (static_cast<int>(idlers.size()) < wave) {
      idlers.emplace_back(new Client(server.port()));
      ASSERT_TRUE(idlers.back()->connected());
      ASSERT_TRUE(idlers.back()->SendText("#UPDVER"));
    }
    Client installer(server.port());
    ASSERT_TRUE(installer.SendText("#UPDVER"));
    std::vector<uint8_t> whole;
    for (uint32_t offset : {0u, 262144u, 524288u}) {
      ASSERT_TRUE(installer.Ask("bin\\app.dll", offset, &chunk)) << wave << " idlers";
      whole.insert(whole.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(whole, large_) << wave << " idlers";
  }
  // The earliest idlers went first; the latest still hold their places.
  EXPECT_TRUE(idlers.front()->ClosedByServer());
  EXPECT_TRUE(idlers[1024 - 256 - 64]->ClosedByServer());
  EXPECT_TRUE(idlers.back()->StillOpenAfter(200));
  EXPECT_TRUE(early.ClosedByServer());  // idle since its first chunk
  EXPECT_EQ(WEXITSTATUS(server.Terminate()), 0);
}

TEST_F(ReleaseFolder, PerAddressCapBitesWhenSetAndIsLogged) {
  ServerProcess server;
  fs::path log = base_ / "log";
  ASSERT_TRUE(server.Start({"--quiet", "--max-per-address=2", "--log=" + log.string(),
                            root_.string()}));
  std::vector<uint8_t> chunk;
  auto first = std::make_unique<Client>(server.port());
  Client second(server.port());
  ASSERT_TRUE(first->Ask("files.ver", 0, &chunk));
  ASSERT_TRUE(second.Ask("files.ver", 0, &chunk));
  Client third(server.port());
  EXPECT_TRUE(third.ClosedByServer());
  first.reset();  // a slot of this address frees up
  bool servedAgain = false;
  for (int attempt = 0; attempt < 50 && !servedAgain; attempt++) {
    Client again(server.port());
    servedAgain = again.Ask("files.ver", 0, &chunk) && chunk == manifest_;
    if (!servedAgain) usleep(100000);
  }
  EXPECT_TRUE(servedAgain);
  EXPECT_EQ(WEXITSTATUS(server.Terminate()), 0);
  EXPECT_NE(ReadAll(log).find("turned away: 2 connections from 127.0.0.1 already"),
            std::string::npos);
}

TEST_F(ReleaseFolder, ASwitchedReleaseLinkReachesNewConnectionsOnly) {
  fs::path releases = base_ / "releases";
  fs::create_directories(releases / "old");
  fs::create_directories(releases / "new");
  WriteFile(releases / "old" / "files.ver", {'o', 'l', 'd'});
  WriteFile(releases / "new" / "files.ver", {'n', 'e', 'w', '!'});
  fs::create_directory_symlink(releases / "old", base_ / "current");
  ServerProcess server;
  fs::path log = base_ / "log";
  ASSERT_TRUE(server.Start({"--log=" + log.string(), (base_ / "current").string()}));
  std::vector<uint8_t> chunk;
  Client before(server.port());
  ASSERT_TRUE(before.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, std::vector<uint8_t>({'o', 'l', 'd'}));

  // The switch operators make: a new link renamed over the old one.
  fs::create_directory_symlink(releases / "new", base_ / "current.next");
  fs::rename(base_ / "current.next", base_ / "current");
  Client after(server.port());
  ASSERT_TRUE(after.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, std::vector<uint8_t>({'n', 'e', 'w', '!'}));
  ASSERT_TRUE(before.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(chunk, std::vector<uint8_t>({'o', 'l', 'd'}));

  // SIGHUP: a rotated log is reopened under its name.
  fs::rename(log, base_ / "log.1");
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  bool reopened = false;
  for (int i = 0; i < 50 && !reopened; i++) {
    usleep(100000);
    reopened = fs::exists(log);
  }
  EXPECT_TRUE(reopened);
  ASSERT_TRUE(after.Ask("files.ver", 0, &chunk));
  EXPECT_EQ(WEXITSTATUS(server.Terminate()), 0);
  EXPECT_NE(ReadAll(log).find("\"files.ver\" offset=0"), std::string::npos);
  EXPECT_NE(ReadAll(base_ / "log.1").find("now serves"), std::string::npos);
}

// The release build, as operators run it, with fewer descriptors than its
// connection cap: it pauses accepting instead of spinning, logs the
// condition a bounded number of times, never answers an existing file with
// an empty reply, and serves again once descriptors come back.
TEST_F(ReleaseFolder, ReleaseBuildOutOfDescriptors) {
  ASSERT_TRUE(fs::exists(ReleaseBinary()))
      << ReleaseBinary() << " missing: scripts/build.sh builds the release tree";
  ServerProcess server;
  fs::path log = base_ / "log";
  ASSERT_TRUE(server.Start({"--max-connections=1000", "--cache-size=0", "--threads=2",
                            "--log=" + log.string(), root_.string()},
                           ReleaseBinary().c_str(), 64));
  // More connections than descriptors; those past the limit wait in the
  // listening queue while accept fails.
  std::vector<std::unique_ptr<Client>> crowd;
  for (int i = 0; i < 120; i++) {
    crowd.emplace_back(new Client(server.port()));
    ASSERT_TRUE(crowd.back()->connected()) << i;
    ASSERT_TRUE(crowd.back()->SendText("#UPDVER"));
  }
  usleep(500000);
  double cpuBefore = server.CpuSeconds();
  size_t logBefore = fs::file_size(log);
  usleep(3000000);
  double cpu = server.CpuSeconds() - cpuBefore;
  size_t logGrowth = fs::file_size(log) - logBefore;
  EXPECT_LT(cpu, 0.5) << "CPU seconds in 3 s while out of descriptors";
  EXPECT_LT(logGrowth, 2000u) << ReadAll(log);

  // An admitted connection asks for a file while no descriptor is free.
  std::vector<uint8_t> chunk;
  int closed = 0, answered = 0;
  for (int i = 0; i < 5; i++) {
    if (crowd[i]->Ask("bin\\app.dll", 0, &chunk)) {
      answered++;
      EXPECT_EQ(chunk, std::vector<uint8_t>(large_.begin(), large_.begin() + 262144))
          << "an existing file answered short";
    } else {
      closed++;
    }
  }
  EXPECT_GT(closed, 0);

  crowd.clear();
  bool resumed = false;
  for (int attempt = 0; attempt < 50 && !resumed; attempt++) {
    Client installer(server.port());
    std::vector<uint8_t> received;
    bool whole = installer.SendText("#UPDVER");
    for (uint32_t offset : {0u, 262144u, 524288u}) {
      whole = whole && installer.Ask("bin\\app.dll", offset, &chunk);
      received.insert(received.end(), chunk.begin(), chunk.end());
    }
    resumed = whole && received == large_;
    if (!resumed) usleep(100000);
  }
  EXPECT_TRUE(resumed);
  int status = server.Terminate();
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string text = ReadAll(log);
  EXPECT_NE(text.find("accept failed: Too many open files"), std::string::npos);
  EXPECT_NE(text.find("closed the connection instead of answering"), std::string::npos);
}

}  // namespace
