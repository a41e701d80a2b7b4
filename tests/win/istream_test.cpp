// TIStream against a loopback HTTP server of the test's own: how much a read
// gives, what it counts into BytesReceived, and what a seek does to both.
#include "transfer/istream.h"

#include <gtest/gtest.h>

#include <string>

#include "app/run_control.h"
#include "runtime/progress.h"
#include "tests/win/http_responder.h"
#include "transfer/net_limits.h"
#include "transfer/transfer_buffers.h"

namespace {

std::string Pattern(size_t length) {
  std::string body(length, 0);
  for (size_t i = 0; i < length; i++) body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return body;
}

// A loopback port on which nothing listens.
int RefusedPort() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  return ntohs(address.sin_port);
}

class IStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    if (WorkBuffer == nullptr) ASSERT_TRUE(InitTransfer());  // the lock LockedAdd takes
    AbortFlag = 0;
    BytesReceived = 0;
  }
  void TearDown() override { AbortFlag = 0; }
  HttpResponder server_;
};

TEST_F(IStreamTest, UrlThatCannotBeOpenedReadsNothing) {
  std::string url = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/files.ver";
  TIStream stream(url.c_str());
  EXPECT_FALSE(stream.IsOpen());
  char buffer[64];
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(stream.Seek(-10, kSeekFromCurrent), -1);
  EXPECT_EQ(BytesReceived, 0);
}

TEST_F(IStreamTest, ReadFillsTheCountOrGivesTheWholeShorterBody) {
  const std::string body = Pattern(70000);  // several network reads
  server_.Set("/body", body);
  struct Case {
    int32_t count;
    int32_t expected;
  } cases[] = {{100000, 70000}, {70000, 70000}, {69999, 69999}, {1, 1}};
  for (const Case& c : cases) {
    BytesReceived = 0;
    TIStream stream(server_.Url("/body").c_str());
    ASSERT_TRUE(stream.IsOpen());
    std::string buffer(c.count, 0);
    ASSERT_EQ(stream.Read(&buffer[0], c.count), c.expected) << c.count;
    EXPECT_EQ(buffer.substr(0, c.expected), body.substr(0, c.expected)) << c.count;
    EXPECT_EQ(BytesReceived, c.expected) << c.count;
  }
}

TEST_F(IStreamTest, TheRestOfALongerBodyStaysForTheNextRead) {
  const std::string body = Pattern(5000);
  server_.Set("/long", body);
  TIStream stream(server_.Url("/long").c_str());
  std::string first(100, 0);
  ASSERT_EQ(stream.Read(&first[0], 100), 100);
  std::string rest(8000, 0);
  ASSERT_EQ(stream.Read(&rest[0], 8000), 4900);
  EXPECT_EQ(first + rest.substr(0, 4900), body);
  EXPECT_EQ(stream.Read(&rest[0], 8000), 0);
  EXPECT_EQ(BytesReceived, 5000);
}

TEST_F(IStreamTest, ErrorPagesAreReadLikeAnyBody) {
  TIStream stream(server_.Url("/missing").c_str());
  ASSERT_TRUE(stream.IsOpen());
  char buffer[64] = {};
  ASSERT_EQ(stream.Read(buffer, sizeof buffer - 1), 14);
  EXPECT_STREQ(buffer, "no such object");
}

TEST_F(IStreamTest, OnlySeeksFromTheCurrentPositionAreServed) {
  const std::string body = Pattern(3000);
  server_.Set("/seek", body);
  TIStream stream(server_.Url("/seek").c_str());
  std::string buffer(1000, 0);
  ASSERT_EQ(stream.Read(&buffer[0], 1000), 1000);
  EXPECT_EQ(stream.Seek(0, kSeekFromStart), 0);
  EXPECT_EQ(stream.Seek(-10, kSeekFromEnd), 0);
  EXPECT_EQ(BytesReceived, 1000);
  ASSERT_EQ(stream.Read(&buffer[0], 1000), 1000);
  EXPECT_EQ(buffer, body.substr(1000, 1000));  // nothing moved
}

// Where WinINet can move back, the bytes come again and the count drops by
// the distance; where it cannot (Wine), the read goes on after them and the
// count keeps them. Either way the count equals the bytes the reader kept.
TEST_F(IStreamTest, SeekBackCountsOnlyWhatItHandedBack) {
  const std::string body = Pattern(40000);
  server_.Set("/inflate", body);
  TIStream stream(server_.Url("/inflate").c_str());
  std::string buffer(32768, 0);
  ASSERT_EQ(stream.Read(&buffer[0], 32768), 32768);
  ASSERT_EQ(BytesReceived, 32768);

  int32_t position = stream.Seek(-100, kSeekFromCurrent);
  std::string rest(16000, 0);
  int32_t got = stream.Read(&rest[0], 16000);
  if (position == -1) {
    EXPECT_EQ(got, 40000 - 32768);
    EXPECT_EQ(rest.substr(0, got), body.substr(32768));
    EXPECT_EQ(BytesReceived, 40000);
  } else {
    EXPECT_EQ(position, 32668);
    EXPECT_EQ(got, 40000 - 32668);
    EXPECT_EQ(rest.substr(0, got), body.substr(32668));
    EXPECT_EQ(BytesReceived, 40000);  // 32768 - 100 + 7332
  }
}

TEST_F(IStreamTest, IntroducesItselfAsBrevane) {
  server_.Set("/agent", "x");
  TIStream stream(server_.Url("/agent").c_str());
  char byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(server_.LastUserAgent(), "BREVANE");
}

// The path and the query reach the server as written.
TEST_F(IStreamTest, PathAndQueryAreAskedForWhole) {
  server_.Set("/status/p.ashx?op=getparams&code=A%20b", "params");
  TIStream stream(server_.Url("/status/p.ashx?op=getparams&code=A%20b").c_str());
  char buffer[16];
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "params");
}

// A server of the test's own that accepts, reads the request, sends the
// given bytes (perhaps nothing) and then stays silent until it is destroyed.
class SilentServer {
 public:
  explicit SilentServer(std::string said) : said_(std::move(said)) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    quit_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Serve, this, 0, nullptr);
  }
  ~SilentServer() {
    SetEvent(quit_);
    closesocket(listener_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    CloseHandle(quit_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/object"; }

 private:
  static DWORD WINAPI Serve(void* self) {
    SilentServer* server = static_cast<SilentServer*>(self);
    SOCKET client = accept(server->listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return 0;
    char request[4096];
    recv(client, request, sizeof request, 0);
    send(client, server->said_.data(), static_cast<int>(server->said_.size()), 0);
    WaitForSingleObject(server->quit_, 30000);
    closesocket(client);
    return 0;
  }
  std::string said_;
  SOCKET listener_;
  int port_ = 0;
  HANDLE quit_;
  HANDLE thread_;
};

// A server that stops answering costs one bounded attempt: before its
// reply the URL does not open, in the middle of its body the read ends
// with what came.
TEST_F(IStreamTest, ASilentServerCostsOneBoundedAttempt) {
  static const NetLimits kShort = {1500, 1500, {10, 20, 40}};
  struct Case {
    const char* what;
    std::string said;
    bool opens;
    int32_t read;
  } cases[] = {
      {"no reply", "", false, 0},
      {"body stops", "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + Pattern(1000), true,
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SilentServer server(c.said);
    DWORD start = GetTickCount();
    TIStream stream(server.Url().c_str(), kShort);
    EXPECT_EQ(stream.IsOpen(), c.opens);
    std::string buffer(100000, 0);
    int32_t got = stream.Read(&buffer[0], 100000);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_LT(got, 100000);
    if (c.read >= 0) EXPECT_EQ(got, c.read);
    EXPECT_GE(elapsed, 1400u);
    EXPECT_LT(elapsed, 5000u);
  }
}

struct AbortedRead {
  std::string url;
  volatile bool returned = false;
};

DWORD WINAPI ReadWithAbortSet(void* parameter) {
  AbortedRead* job = static_cast<AbortedRead*>(parameter);
  TIStream stream(job->url.c_str());
  char buffer[256];
  stream.Read(buffer, sizeof buffer);
  job->returned = true;
  return 1;
}

// A read that meets the abort flag ends its thread after the network read and
// before it counts: the count is not touched and the lock is not left held.
TEST_F(IStreamTest, AbortEndsTheReadingThreadBeforeItCounts) {
  server_.Set("/abort", Pattern(200));
  AbortedRead job;
  job.url = server_.Url("/abort");
  AbortFlag = 1;
  HANDLE thread = CreateThread(nullptr, 0, ReadWithAbortSet, &job, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  AbortFlag = 0;
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(job.returned);
  EXPECT_EQ(BytesReceived, 0);
  LockedAdd(&BytesReceived, 1);  // would hang if the lock were still held
  EXPECT_EQ(BytesReceived, 1);
}

}  // namespace
