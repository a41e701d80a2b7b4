// The session client against a scripted host on loopback: what goes on the
// wire, how replies are decoded, what a cut or hostile reply does to the
// session, and how a download item reaches its staged place.
#include "transfer/session.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"
#include "tests/support/worker_pool.h"
#include <zlib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/run_control.h"
#include "runtime/progress.h"
#include "tinylib/simple_file.h"
#include "transfer/manifest_source.h"
#include "transfer/transfer_buffers.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "tinylib/text.h"
#include "transfer/net_limits.h"


namespace {

using testfiles::RemoveTree;

// 2012-03-15 10:20:30: DOS date in the high half, time (2 s units) in the low.
const uint32_t kStamp = ((32u << 9 | 3u << 5 | 15u) << 16) | (10u << 11 | 20u << 5 | 15u);
const int kChunk = 0x40000;
const char kKey[] = "8ruk5617mhqtwLLBWgzxao273plnsv";

std::string Word(uint32_t word) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; i++) bytes[i] = static_cast<char>(word >> (8 * i));
  return bytes;
}

std::string Scrambled(const std::string& chunk) {
  std::string payload = chunk;
  for (size_t i = 0; i < payload.size(); i++) payload[i] ^= kKey[i % 30];
  return Word(static_cast<uint32_t>(4 + payload.size())) + payload;
}

std::string Deflated(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
            reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 6);
  out.resize(size);
  return out;
}

std::string Compressed(const std::string& chunk) {
  std::string payload = Deflated(chunk);
  return Word(0x80000000u | static_cast<uint32_t>(4 + payload.size())) + payload;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++) {
    seed = seed * 1103515245u + 12345u;
    data[i] = static_cast<char>(seed >> 16);
  }
  return data;
}

std::string Message(const std::string& text) {
  return Word(static_cast<uint32_t>(4 + text.size())) + text;
}

// One exchange: the host reads a client message (unless readFirst is false),
// runs before(), sends reply, and closes the connection when closeAfter.
struct Step {
  std::string reply;
  bool closeAfter = false;
  bool readFirst = true;
  std::function<void()> before;
};

// A session host on loopback that plays one script per connection it
// accepts, in order. After a script it keeps reading (so that a request the
// client should not send is seen, and a host that stops answering can be
// played) until the client closes or 5 s pass, then closes. After the last
// script it stops listening, so a later connect is refused at once: a
// client bug cannot hang a test.
class FakeHost {
 public:
  explicit FakeHost(std::vector<Step> steps, const char* address = "127.0.0.1")
      : FakeHost(std::vector<std::vector<Step>>{std::move(steps)}, address) {}
  FakeHost(std::vector<std::vector<Step>> scripts, const char* address)
      : scripts_(std::move(scripts)) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(address);
    int length = sizeof local;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      ADD_FAILURE() << "cannot listen on " << address << ": " << WSAGetLastError();
      return;
    }
    port = ntohs(local.sin_port);
    thread_ = std::thread([this] {
      Serve();
      closesocket(listener_);
    });
  }
  ~FakeHost() { Join(); }

  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    } else if (listener_ != INVALID_SOCKET) {
      closesocket(listener_);
    }
    listener_ = INVALID_SOCKET;
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }
  std::string Raw() {
    std::lock_guard<std::mutex> hold(lock_);
    return raw_;
  }
  int Accepted() {
    std::lock_guard<std::mutex> hold(lock_);
    return accepted_;
  }

  int port = 0;

 private:
  bool ReceiveExactly(SOCKET peer, char* buffer, int count) {
    for (int done = 0; done < count;) {
      int n = recv(peer, buffer + done, count - done, 0);
      if (n <= 0) return false;
      std::lock_guard<std::mutex> hold(lock_);
      raw_.append(buffer + done, n);
      done += n;
    }
    return true;
  }
  bool ReadMessage(SOCKET peer) {
    char header[4];
    if (!ReceiveExactly(peer, header, 4)) return false;
    uint32_t length = static_cast<uint8_t>(header[0]) | static_cast<uint8_t>(header[1]) << 8 |
                      static_cast<uint8_t>(header[2]) << 16 |
                      static_cast<uint32_t>(static_cast<uint8_t>(header[3])) << 24;
    if (length < 4 || length > 4096) return false;
    std::string text(length - 4, '\0');
    if (!ReceiveExactly(peer, &text[0], static_cast<int>(text.size()))) return false;
    std::lock_guard<std::mutex> hold(lock_);
    messages_.push_back(text);
    return true;
  }
  void Serve() {
    for (std::vector<Step>& steps : scripts_) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(listener_, &ready);
      timeval wait = {10, 0};
      if (select(0, &ready, nullptr, nullptr, &wait) != 1) return;
      SOCKET peer = accept(listener_, nullptr, nullptr);
      if (peer == INVALID_SOCKET) return;
      {
        std::lock_guard<std::mutex> hold(lock_);
        accepted_++;
      }
      Play(peer, steps);
      closesocket(peer);
    }
  }
  void Play(SOCKET peer, std::vector<Step>& steps) {
    DWORD timeoutMs = 5000;
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    for (Step& step : steps) {
      if (step.readFirst && !ReadMessage(peer)) return;
      if (step.before) step.before();
      for (size_t sent = 0; sent < step.reply.size();) {
        int n = send(peer, step.reply.data() + sent, static_cast<int>(step.reply.size() - sent), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      if (step.closeAfter) return;
    }
    while (ReadMessage(peer)) {
    }
  }

  std::vector<std::vector<Step>> scripts_;
  SOCKET listener_ = INVALID_SOCKET;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> messages_;
  std::string raw_;
  int accepted_ = 0;
};

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Contents(const std::string& path) {
  std::string data;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[65536];
  DWORD n;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) data.append(buffer, n);
  CloseHandle(file);
  return data;
}

void Put(const std::string& path, const std::string& data) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD n;
  WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  CloseHandle(file);
}

// The last-write time read back as a DOS stamp.
using testfiles::StampOf;

// The replies a correct host sends for a whole file, chunk by chunk, ending
// with a short (perhaps empty) chunk.
std::vector<Step> FileScript(const std::string& data, bool compress) {
  std::vector<Step> steps;
  size_t offset = 0;
  for (;;) {
    std::string chunk = data.substr(offset, kChunk);
    steps.push_back({compress ? Compressed(chunk) : Scrambled(chunk)});
    offset += chunk.size();
    if (chunk.size() < static_cast<size_t>(kChunk)) return steps;
  }
}

// Bounds short enough for tests: a silent host costs a second and a half,
// the pauses before reconnects a few milliseconds.
const NetLimits kTestLimits = {1500, 1500, {10, 20, 40}};

// The transfer buffers are replaced by ones with a guard zone behind them,
// so that a write past either buffer shows.
const size_t kGuard = 65536;
std::vector<char> GuardedReceive(kTransferBufferSize + kGuard, '\xA5');
std::vector<char> GuardedWork(kTransferBufferSize + kGuard, '\xA5');

class SessionTest : public testing::Test {
 protected:
  void SetUp() override {
    if (ReceiveBuffer == nullptr) ASSERT_TRUE(InitTransfer());
    ResetWorkerPool();
    savedReceive_ = ReceiveBuffer;
    savedWork_ = WorkBuffer;
    ReceiveBuffer = GuardedReceive.data();
    WorkBuffer = GuardedWork.data();
    ResetInstallSettings();
    BytesReceived = 0;
    BytesDone = 0;

    parent_ = testfiles::MakeScratchFolder("session");
    ASSERT_FALSE(parent_.empty());
    folder_ = parent_ + "\\install";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    snprintf(InstallSettings.InstallDir, kPathCapacity, "%s\\", folder_.c_str());
  }
  void TearDown() override {
    CloseSession();
    if (host_) host_->Join();
    for (const std::vector<char>* buffer : {&GuardedReceive, &GuardedWork}) {
      for (size_t i = kTransferBufferSize; i < buffer->size(); i++) {
        if ((*buffer)[i] != '\xA5') {
          ADD_FAILURE() << "written past a transfer buffer at " << i;
          break;
        }
      }
    }
    ReceiveBuffer = savedReceive_;
    WorkBuffer = savedWork_;
    RemoveTree(parent_);
  }

  void Connect(std::vector<Step> steps, const char* address = "127.0.0.1",
               const NetLimits& limits = kTestLimits) {
    ConnectScripts({std::move(steps)}, address, limits);
  }
  // One script per connection the host accepts, the first one made here.
  void ConnectScripts(std::vector<std::vector<Step>> scripts, const char* address = "127.0.0.1",
                      const NetLimits& limits = kTestLimits) {
    host_.reset(new FakeHost(std::move(scripts), address));
    snprintf(InstallSettings.HostName, kPathCapacity, "%s", address);
    InstallSettings.Port = host_->port;
    ASSERT_EQ(ConnectSession(limits), 0);
    ASSERT_NE(SessionChannel, 0u);
  }
  std::string PathOf(const char* name) const { return folder_ + "\\" + name; }
  std::string StagedOf(const char* name) const {
    return folder_ + "\\Pellinor.staging\\new\\" + name;
  }

  static void SetItem(DownloadItem* item, const char* name, int32_t size, uint32_t stamp = kStamp) {
    snprintf(item->Name, sizeof item->Name, "%s", name);
    item->Size = size;
    item->Stamp = stamp;
  }

  std::unique_ptr<FakeHost> host_;
  std::string parent_, folder_;
  char* savedReceive_ = nullptr;
  char* savedWork_ = nullptr;
};

TEST_F(SessionTest, NoticeGoesOutAloneAndRequestsNameFileOffsetAndChunk) {
  Connect({{""}, {Scrambled("abc")}});
  SendText("#UPDVER");
  ASSERT_EQ(RequestChunk("files.ver", 0), 3);
  EXPECT_EQ(std::string(ReplyData, 3), "abc");
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Raw(), std::string("\x0B\0\0\0#UPDVER", 11) +
                              std::string("\x16\0\0\0files.ver;0;262144", 22));
}

TEST_F(SessionTest, RepliesAreDecodedAndCounted) {
  const std::string full = Pattern(kChunk, 7);
  const std::string text(kChunk, 'x');
  std::string cut = Deflated(text);
  cut.resize(cut.size() / 2);
  struct Case {
    const char* what;
    std::string reply;
    int32_t result;
    std::string chunk;  // expected at ReplyData when result > 0
  } cases[] = {
      {"scrambled, key wraps after 30 bytes", Scrambled(Pattern(35, 1)), 35, Pattern(35, 1)},
      {"scrambled full chunk", Scrambled(full), kChunk, full},
      {"compressed full chunk", Compressed(full), kChunk, full},
      {"compressed text", Compressed("hello session"), 13, "hello session"},
      {"empty chunk", Word(4), 0, ""},
      {"compressed flag, no payload", Word(0x80000004u), 0, ""},
      {"inflates past a chunk", Compressed(text + "y"), -1, ""},
      {"compressed stream cut short",
       Word(0x80000000u | static_cast<uint32_t>(4 + cut.size())) + cut, -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Each reply is followed by another, which must decode from key byte 0:
    // a reply of any kind leaves the stream in step.
    Connect({{c.reply}, {Scrambled("next")}});
    BytesReceived = 0;
    EXPECT_EQ(RequestChunk("a\\b.dll", 262144), c.result);
    uint32_t word = static_cast<uint8_t>(c.reply[0]) | static_cast<uint8_t>(c.reply[1]) << 8 |
                    static_cast<uint8_t>(c.reply[2]) << 16 |
                    static_cast<uint32_t>(static_cast<uint8_t>(c.reply[3]) & 0x7F) << 24;
    EXPECT_EQ(BytesReceived, static_cast<int32_t>(word));
    if (c.result > 0) EXPECT_TRUE(std::string(ReplyData, c.result) == c.chunk);
    ASSERT_EQ(RequestChunk("a\\b.dll", 0), 4);
    EXPECT_EQ(std::string(ReplyData, 4), "next");
    EXPECT_TRUE(SessionUsable());
    CloseSession();
    host_->Join();
    EXPECT_EQ(host_->Messages(),
              (std::vector<std::string>{"a\\b.dll;262144;262144", "a\\b.dll;0;262144"}));
  }
}

TEST_F(SessionTest, CutOrOversizedRepliesBreakTheSession) {
  struct Case {
    const char* what;
    std::string reply;
    bool closeAfter;
  } cases[] = {
      {"host closes at once", "", true},
      {"short length word", "\x10\x00", true},
      {"short payload", Word(104) + std::string(10, 'p'), true},
      {"length word below its own size", Word(3), false},
      {"payload larger than the receive buffer", Word(4 + 262273) + std::string(4096, 'p'), false},
      {"compressed payload larger than the receive buffer",
       Word(0x80000000u | (4 + 262273)) + std::string(4096, 'p'), false},
      {"uncompressed payload longer than a chunk", Word(4 + kChunk + 1) + std::string(kChunk + 1, 'p'),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Step step{c.reply};
    step.closeAfter = c.closeAfter;
    Connect({step});
    EXPECT_LE(RequestChunk("big.dat", 0), 0);
    EXPECT_FALSE(SessionUsable());
    // Later requests are refused without a word on the wire.
    EXPECT_LE(RequestChunk("big.dat", 0), 0);
    SendText("#UPDVER");
    CloseSession();
    host_->Join();
    EXPECT_EQ(host_->Messages().size(), 1u);
  }
  EXPECT_LE(RequestChunk("files.ver", 0), 0) << "no session";
}

// A file beside the manifest comes chunk after chunk to its end; one longer
// than the caller's bound comes to one byte past it, and those are the
// file's own bytes (the caller tells "too long" from them), asked once.
TEST_F(SessionTest, AFileBesideTheManifestIsReadWholeOrToOneBytePastItsBound) {
  const std::string two = Pattern(kChunk, 3) + Pattern(100, 4);
  Connect({{Scrambled(two.substr(0, kChunk))}, {Scrambled(two.substr(kChunk))}});
  int32_t length = -1;
  char* bytes = ReadBesideManifest(kManifestFromSession, ".idx", 2 * kChunk, &length);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(length, static_cast<int32_t>(two.size()));
  EXPECT_TRUE(std::string(bytes, static_cast<size_t>(length)) == two);
  free(bytes);
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Messages(),
            (std::vector<std::string>{"files.ver.idx;0;262144", "files.ver.idx;262144;262144"}));

  Connect({{Scrambled(two.substr(0, kChunk))}});
  bytes = ReadBesideManifest(kManifestFromSession, ".sig", 1000, &length);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(length, 1001);
  EXPECT_TRUE(std::string(bytes, 1001) == two.substr(0, 1001));
  free(bytes);
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Messages(), (std::vector<std::string>{"files.ver.sig;0;262144"}));
}

TEST_F(SessionTest, ReceiveAllStopsWhenTheHostCloses) {
  const std::string sent = Pattern(1500, 3);
  Step step{sent};
  step.readFirst = false;
  step.closeAfter = true;
  Connect({step});
  std::vector<char> buffer(4000);
  EXPECT_EQ(ReceiveAll(buffer.data(), 4000), 1500);
  EXPECT_TRUE(std::string(buffer.data(), 1500) == sent);
}

TEST_F(SessionTest, DownloadStagesEachFileWholeWithItsStampAndLeavesTheInstalledOne) {
  struct Case {
    const char* name;
    size_t size;
    bool compress;
  } cases[] = {
      {"empty.txt", 0, false},       {"one.bin", 1, true},
      {"bin\\exact.dll", 262144, false}, {"bin\\exact2.dll", 262144, true},
      {"data\\sub\\odd.dll", 600000, true}, {"odd2.dll", 600000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = Pattern(c.size, static_cast<unsigned>(c.size));
    std::vector<Step> script = FileScript(data, c.compress);
    // The staged file appears only once the first reply is in: not while
    // the host answers the first request, but by the time the second comes.
    // The installed file is the commit's business, never the download's.
    const std::string path = StagedOf(c.name);
    const bool topLevel = strchr(c.name, '\\') == nullptr;
    if (topLevel) Put(PathOf(c.name), "installed");
    bool seenBeforeFirst = true, seenBeforeSecond = false;
    script[0].before = [&] { seenBeforeFirst = Exists(path); };
    if (script.size() > 1) script[1].before = [&] { seenBeforeSecond = Exists(path); };
    Connect(script);
    BytesDone = 100;
    DownloadItem item = {};
    SetItem(&item, c.name, static_cast<int32_t>(c.size));
    DownloadOverSession(item);
    CloseSession();
    host_->Join();

    EXPECT_FALSE(seenBeforeFirst);
    if (script.size() > 1) EXPECT_TRUE(seenBeforeSecond);
    EXPECT_EQ(item.State, kItemDone);
    EXPECT_TRUE(Contents(path) == data) << Contents(path).size() << " bytes";
    EXPECT_EQ(StampOf(path), kStamp);
    if (topLevel) EXPECT_EQ(Contents(PathOf(c.name)), "installed");
    else EXPECT_FALSE(Exists(PathOf(c.name)));
    EXPECT_EQ(BytesDone, 100 + c.size);
    std::vector<std::string> expected;
    for (size_t i = 0; i < script.size(); i++)
      expected.push_back(std::string(c.name) + ";" + std::to_string(i * kChunk) + ";262144");
    EXPECT_EQ(host_->Messages(), expected);
  }
}

TEST_F(SessionTest, AFailedFirstReplyLeavesTheExistingFileAlone) {
  struct Case {
    const char* what;
    std::string reply;
    bool closeAfter;
    bool connect;
  } cases[] = {
      {"no session", "", false, false},
      {"host closes", "", true, true},
      {"bad compressed data", Word(0x80000000u | 8) + "junk", false, true},
      {"oversized reply", Word(0x7FFFFFFF), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(PathOf("keep.dll"), "old contents");
    if (c.connect) {
      Step step{c.reply};
      step.closeAfter = c.closeAfter;
      Connect({step});
    }
    DownloadItem item = {};
    SetItem(&item, "keep.dll", 100);
    DownloadOverSession(item);
    EXPECT_EQ(Contents(PathOf("keep.dll")), "old contents");
    EXPECT_EQ(item.State, kItemPending);
    CloseSession();
    if (host_) host_->Join();
  }
}

// A file is done only when exactly Size bytes arrived; whatever else the
// host does leaves it pending, its staged file unsealed, the installed one
// as it was.
TEST_F(SessionTest, OnlyExactlySizeBytesMakeAStagedFileComplete) {
  const std::string first = Pattern(kChunk, 9);
  struct Case {
    const char* what;
    int32_t size;
    std::vector<Step> script;
  } cases[] = {
      {"host lacks the file", 100, {{Word(4)}}},
      {"one byte short", 100, {{Scrambled(Pattern(99, 1))}}},
      {"one byte over", 100, {{Scrambled(Pattern(101, 1))}}},
      {"cut after a chunk", 600000, {{Scrambled(first)}, {Word(0x80000000u | 8) + "junk"}}},
      {"host closes after a chunk", 600000, {{Scrambled(first), true}}},
  };
  int n = 0;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    char name[16];
    snprintf(name, sizeof name, "cut%d.dll", n++);
    Put(PathOf(name), "old contents");
    Connect(c.script);
    DownloadItem item = {};
    SetItem(&item, name, c.size);
    DownloadOverSession(item);
    CloseSession();
    host_->Join();
    EXPECT_EQ(item.State, kItemPending);
    EXPECT_EQ(Contents(PathOf(name)), "old contents");
    EXPECT_FALSE(IsUpToDate(StagedOf(name).c_str(), c.size, kStamp));
  }
}

// A download cut after its checkpoint (16 chunks) continues there on the
// next attempt, even on another connection, and asks only for the rest; a
// record of another version of the file is not trusted.
TEST_F(SessionTest, ACutDownloadContinuesFromItsCheckpoint) {
  const int32_t size = 16 * kChunk + 1000;
  const std::string data = Pattern(size, 21);
  std::vector<Step> whole = FileScript(data, false);
  std::vector<Step> firstPart(whole.begin(), whole.begin() + 16);
  firstPart.push_back({Word(0x80000000u | 8) + "junk"});
  Connect(firstPart);
  DownloadItem item = {};
  SetItem(&item, "big.dat", size);
  DownloadOverSession(item);
  CloseSession();
  host_->Join();
  ASSERT_EQ(item.State, kItemPending);

  // Another version (other stamp) of the same name starts anew.
  DownloadItem other = {};
  SetItem(&other, "big.dat", size, kStamp + 1);
  Connect({{Word(0x80000000u | 8) + "junk"}});
  DownloadOverSession(other);
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Messages(), std::vector<std::string>{"big.dat;0;262144"});

  // The bytes staged before count as done: the bar reaches the whole size.
  BytesDone = 0;
  Connect({whole.back()});
  DownloadOverSession(item);
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Messages(),
            std::vector<std::string>{"big.dat;" + std::to_string(16 * kChunk) + ";262144"});
  EXPECT_EQ(BytesDone, size);
  EXPECT_EQ(item.State, kItemDone);
  EXPECT_TRUE(Contents(StagedOf("big.dat")) == data);
  EXPECT_EQ(StampOf(StagedOf("big.dat")), kStamp);
}

// A connection lost in the middle of a file is replaced: the notice goes
// out again and the file continues at the offset it had reached, whether
// the host cut a reply, closed before answering or stopped answering.
TEST_F(SessionTest, ALostConnectionIsReplacedAndTheFileContinuesWhereItWas) {
  const std::string data = Pattern(600000, 21);
  const std::string first = data.substr(0, kChunk);
  const std::string second = data.substr(kChunk, kChunk);
  const std::string rest = data.substr(2 * kChunk);
  std::string halfReply = Scrambled(second);
  halfReply.resize(halfReply.size() / 2);
  Step cut{halfReply};
  cut.closeAfter = true;
  Step closed{""};
  closed.closeAfter = true;
  Step silent{""};  // reads the request and never answers
  struct Case {
    const char* what;
    Step failure;
  } cases[] = {{"reply cut short", cut}, {"closed before answering", closed},
               {"stopped answering", silent}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint32_t> progress;
    auto sample = [&] { progress.push_back(static_cast<uint32_t>(BytesDone)); };
    Step failure = c.failure;
    failure.before = sample;
    Step notice{""};
    notice.before = sample;
    Step last{Scrambled(rest)};
    last.before = sample;
    ConnectScripts({{{Scrambled(first)}, failure}, {notice, {Compressed(second)}, last}});
    BytesDone = 0;
    DownloadItem item = {};
    SetItem(&item, "odd.dll", 600000);
    DownloadOverSession(item);
    CloseSession();
    host_->Join();

    EXPECT_EQ(host_->Accepted(), 2);
    EXPECT_TRUE(Contents(StagedOf("odd.dll")) == data) << Contents(StagedOf("odd.dll")).size();
    EXPECT_EQ(StampOf(StagedOf("odd.dll")), kStamp);
    EXPECT_EQ(BytesDone, 600000);
    EXPECT_EQ(host_->Messages(),
              (std::vector<std::string>{"odd.dll;0;262144", "odd.dll;262144;262144", "#UPDVER",
                                        "odd.dll;262144;262144", "odd.dll;524288;262144"}));
    EXPECT_EQ(progress, (std::vector<uint32_t>{262144, 262144, 524288}));
  }
}

// A host that keeps failing costs the bounded tries and no more; the
// session is then given up, and later requests fail at once without a word
// on the wire.
TEST_F(SessionTest, AHostThatKeepsFailingIsGivenUpAfterTheBoundedTries) {
  Step silent{""};
  Step closed{""};
  closed.closeAfter = true;
  std::vector<std::vector<Step>> silentForGood = {{silent}};
  for (int i = 0; i < kReconnectTries; i++) silentForGood.push_back({{""}, silent});
  struct Case {
    const char* what;
    std::vector<std::vector<Step>> scripts;
    int connections;
    std::vector<std::string> messages;
    DWORD atLeastMs, belowMs;
  } cases[] = {
      // Four stalls of 1.5 s, the first on the first connection.
      {"silent for good", silentForGood, 1 + kReconnectTries,
       {"a.dll;262144;262144", "#UPDVER", "a.dll;262144;262144", "#UPDVER",
        "a.dll;262144;262144", "#UPDVER", "a.dll;262144;262144"},
       4 * 1500, 4 * 1500 + 3000},
      // Gone and not back: every try is refused.
      {"gone", {{closed}}, 1, {"a.dll;262144;262144"}, 0, 3000},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectScripts(c.scripts);
    DWORD start = GetTickCount();
    EXPECT_EQ(RequestChunk("a.dll", 262144), -1);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, c.atLeastMs);
    EXPECT_LT(elapsed, c.belowMs);
    EXPECT_FALSE(SessionUsable());
    EXPECT_EQ(RequestChunk("b.dll", 0), -1);
    CloseSession();
    host_->Join();
    EXPECT_EQ(host_->Accepted(), c.connections);
    EXPECT_EQ(host_->Messages(), c.messages);
  }
}

// A reply the client refuses, or compressed data that does not inflate, is
// an answer: a new connection would get the same, so none is made.
TEST_F(SessionTest, ARefusedOrUndecodableReplyIsNotAskedAgain) {
  const std::string replies[] = {Word(0x7FFFFFFF), Word(0x80000000u | 8) + "junk"};
  for (const std::string& reply : replies) {
    ConnectScripts({{{reply}}, {{""}, {Scrambled("again")}}});
    EXPECT_EQ(RequestChunk("a.dll", 0), -1);
    // A reconnect would have been accepted before the request returned.
    EXPECT_EQ(host_->Accepted(), 1);
    CloseSession();
    // Let the host's wait for a second connection end at once.
    SOCKET release = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in target = {};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = inet_addr("127.0.0.1");
    target.sin_port = htons(static_cast<u_short>(host_->port));
    connect(release, reinterpret_cast<sockaddr*>(&target), sizeof target);
    closesocket(release);
    host_->Join();
  }
}

// A connect to a host whose queue is full gets no answer: the system drops
// the connection request. The connect ends at its bound all the same.
TEST_F(SessionTest, AConnectWithoutAnswerEndsAtTheBound) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr("127.0.0.1");
  int length = sizeof local;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);
  std::vector<SOCKET> fillers;
  for (int i = 0; i < 8; i++) {
    SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ioctlsocket(filler, FIONBIO, &nonBlocking);
    connect(filler, reinterpret_cast<sockaddr*>(&local), sizeof local);
    fillers.push_back(filler);
  }
  Sleep(200);
  PutText(InstallSettings.HostName, "127.0.0.1");
  InstallSettings.Port = ntohs(local.sin_port);
  DWORD start = GetTickCount();
  EXPECT_NE(ConnectSession(kTestLimits), 0);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 1400u);
  EXPECT_LT(elapsed, 4000u);
  EXPECT_EQ(SessionChannel, 0u);
  for (SOCKET filler : fillers) closesocket(filler);
  closesocket(listener);
}

unsigned long __stdcall RequestOnThread(void*) {
  RequestChunk("a.dll", 0);
  return 0;
}

// A shutdown while the job waits to reconnect ends the job at once rather
// than after the pause.
TEST_F(SessionTest, AShutdownDuringTheReconnectPauseEndsTheJob) {
  static const NetLimits kSlow = {1500, 1500, {5000, 5000, 5000}};
  Step closed{""};
  closed.closeAfter = true;
  Connect({closed}, "127.0.0.1", kSlow);
  ASSERT_TRUE(StartWorker(RequestOnThread, nullptr));
  Sleep(500);  // the request failed; the job is in the pause
  StopWorkers();
  CloseSession();
  DWORD start = GetTickCount();
  EXPECT_TRUE(WaitForWorkers());
  EXPECT_LT(GetTickCount() - start, 1000u);
  AbortFlag = 0;
}

TEST_F(SessionTest, NamesThatLeaveTheInstallFolderAreNeverFetched) {
  const char* hostile[] = {"C:\\pellinor-x", "\\pellinor-x", "/pellinor-x",
                           "a\\..\\..\\pellinor-x", "..\\pellinor-x", "pellinor-x:y",
                           "a/../../pellinor-x", "", "CON"};
  for (const char* name : hostile) {
    SCOPED_TRACE(name);
    Connect({{Scrambled("hostile")}});
    DownloadItem item = {};
    SetItem(&item, name, 7);
    DownloadOverSession(item);
    EXPECT_EQ(item.State, kItemPending);
    CloseSession();
    host_->Join();
    EXPECT_TRUE(host_->Messages().empty());
  }
  EXPECT_FALSE(Exists(parent_ + "\\pellinor-x"));
  EXPECT_FALSE(Exists("C:\\pellinor-x"));
  EXPECT_FALSE(Exists("\\pellinor-x"));
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder_ + "\\*").c_str(), &found);
  int entries = 0;
  if (find != INVALID_HANDLE_VALUE) {
    do entries++;
    while (FindNextFileA(find, &found));
    FindClose(find);
  }
  EXPECT_EQ(entries, 2) << "only . and .. in the install folder";
}

TEST_F(SessionTest, ConnectReachesAnAddressWithoutReverseNameAndFailsOnUnknownNames) {
  // 127.0.0.2 has no reverse name here; it is still a place to connect.
  Connect({{""}}, "127.0.0.2");
  SendText("#UPDVER");
  CloseSession();
  host_->Join();
  EXPECT_EQ(host_->Messages(), std::vector<std::string>{"#UPDVER"});

  struct Case {
    const char* host;
    int port;
  } cases[] = {
      {"no-such-host.invalid", 7000},
      {"", 7000},
      {"127.0.0.1", host_->port},  // nothing listens there any more
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    snprintf(InstallSettings.HostName, kPathCapacity, "%s", c.host);
    InstallSettings.Port = c.port;
    EXPECT_NE(ConnectSession(kTestLimits), 0);
    EXPECT_EQ(SessionChannel, 0u);
    EXPECT_FALSE(SessionUsable());
  }

  // A name that resolves, and a port given with more than 16 bits.
  FakeHost named({{""}});
  PutText(InstallSettings.HostName, "localhost");
  InstallSettings.Port = 0x10000 | named.port;
  EXPECT_EQ(ConnectSession(kTestLimits), 0);
  SendText("#UPDVER");
  CloseSession();
  named.Join();
  EXPECT_EQ(named.Messages().size(), 1u);
}

}  // namespace
