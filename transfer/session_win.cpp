// The session client: connecting, framing requests, reading and decoding
// replies, and fetching one download item chunk by chunk.
#include "transfer/session.h"

#include <winsock2.h>
#include <windows.h>

#include "config/install_path.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "runtime/progress.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "tinylib/text_builder.h"
#include "tinylib/tinyzip.h"
#include "transfer/content_check.h"
#include "transfer/net_limits.h"
#include "transfer/protocol.h"
#include "transfer/staging.h"
#include "transfer/transfer_buffers.h"

uintptr_t SessionChannel;
char* ReplyData;

// Bytes per send or recv call.
static const int32_t kPieceSize = 1024;
// Longest wait between two looks at the abort flag while connecting or
// pausing before a reconnect, so that a shutdown is never held up long.
static const DWORD kAbortSliceMs = 200;

// Why the byte stream can no longer be trusted. Lost: the connection broke
// (a request went out half, a reply was cut short, a send or receive made no
// progress within the stall bound); a new connection may help. Refused: the
// host announced what the buffers cannot hold; asking again would not help.
enum SessionFault { kFaultNone, kFaultLost, kFaultRefused };
static SessionFault Fault;
// Whether a lost connection may be replaced: set once a host was reached,
// cleared when the session is closed on purpose or the reconnects ran out.
static bool Reconnectable;
// The socket error that ended the last send or receive, for the log.
static int LastSocketError;
// The bounds of the last connect, which its reconnects keep.
static NetLimits SessionLimits;
// The connection's replies against the minimum rate: fed with the time spent
// in receives, so a session left idle while the mirrors run costs nothing.
// Its window is set at each connect; zero until then, so it needs no
// initialised data (a section of its own in the program file).
static RateWindow ReplyRate(0);

static void BreakSession(const char* why, SessionFault fault) {
  if (Fault == kFaultNone)
    DiagLog("session: %s (error %d); no further requests on this connection", why,
            LastSocketError);
  if (Fault != kFaultRefused) Fault = fault;
}

bool SessionUsable() { return SessionChannel != 0 && Fault == kFaultNone; }

// The host's IPv4 address, network byte order, into *address: false when
// the name does not resolve. A dotted address is looked up in reverse as
// well, but one without a reverse name is still a valid place to connect.
static bool ResolveHost(const char* host, in_addr* address) {
  unsigned long dotted = inet_addr(host);
  hostent* entry;
  if (dotted == INADDR_NONE) {
    entry = gethostbyname(host);
  } else {
    entry = gethostbyaddr(reinterpret_cast<const char*>(&dotted), 4, AF_INET);
    if (entry == nullptr) {
      DiagLog("session: %s has no reverse name (error %d); using the address itself", host,
              WSAGetLastError());
      address->s_addr = dotted;
      return true;
    }
  }
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
      entry->h_addr_list[0] == nullptr) {
    DiagLog("session: cannot resolve %s (error %d)", host, WSAGetLastError());
    return false;
  }
  // The entry lives in per-thread storage that the next lookup reuses.
  CopyMemory(address, entry->h_addr_list[0], 4);
  return true;
}

// Waits for a non-blocking connect to finish: 0, or the socket error
// (WSAETIMEDOUT when the bound ran out, WSAEINTR on a shutdown).
static int WaitConnected(SOCKET channel, int32_t limitMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (AbortFlag) return WSAEINTR;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= static_cast<DWORD>(limitMs)) return WSAETIMEDOUT;
    DWORD slice = static_cast<DWORD>(limitMs) - elapsed;
    if (slice > kAbortSliceMs) slice = kAbortSliceMs;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(channel, &writable);
    FD_SET(channel, &failed);
    timeval wait = {static_cast<long>(slice / 1000), static_cast<long>(slice % 1000 * 1000)};
    int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) continue;
    // Writable means connected on Windows, but a refused connect may show
    // in either set elsewhere: the socket's own error decides.
    int error = 0;
    int length = sizeof error;
    if (getsockopt(channel, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
      return WSAGetLastError();
    if (error == 0 && FD_ISSET(channel, &failed)) error = WSAECONNREFUSED;
    return error;
  }
}

// A connect bounded in time, then a blocking socket whose every send and
// receive gives up after the stall bound. 0 or the socket error.
static int ConnectBounded(SOCKET channel, const sockaddr_in& target, const NetLimits& limits) {
  u_long nonBlocking = 1;
  if (ioctlsocket(channel, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
  int error = 0;
  if (connect(channel, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) error = WaitConnected(channel, limits.connectMs);
  }
  if (error != 0) return error;
  nonBlocking = 0;
  if (ioctlsocket(channel, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
  DWORD stall = static_cast<DWORD>(limits.stallMs);
  if (setsockopt(channel, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&stall),
                 sizeof stall) != 0 ||
      setsockopt(channel, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&stall),
                 sizeof stall) != 0)
    return WSAGetLastError();
  return 0;
}

// Closes the socket, if any, without deciding anything about the session.
static void DropChannel() {
  SOCKET channel = SessionChannel;
  if (channel == 0) return;
  SessionChannel = 0;
  closesocket(channel);
}

int ConnectSession(const NetLimits& limits) {
  SessionLimits = limits;
  DropChannel();
  Fault = kFaultNone;
  LastSocketError = 0;
  const char* host = InstallSettings.HostName;
  in_addr address;
  if (host[0] == 0 || !ResolveHost(host, &address)) return -1;

  sockaddr_in target;
  ZeroMemory(&target, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<u_short>(InstallSettings.Port & 0xFFFF));
  target.sin_addr = address;
  const unsigned char* a = reinterpret_cast<const unsigned char*>(&address);

  SOCKET channel = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (channel == INVALID_SOCKET) {
    DiagLog("session: socket failed (error %d)", WSAGetLastError());
    return -1;
  }
  int error = ConnectBounded(channel, target, limits);
  if (error != 0) {
    DiagLog("session: connect to %s (%u.%u.%u.%u) port %d failed (error %d%s)", host, a[0],
            a[1], a[2], a[3], static_cast<int>(InstallSettings.Port & 0xFFFF), error,
            error == WSAETIMEDOUT ? ", no answer within the connect bound" : "");
    closesocket(channel);
    SessionChannel = 0;
    return error;
  }
  SessionChannel = channel;
  Reconnectable = true;
  ReplyRate.Restart(limits.rateWindowMs);
  DiagLog("session: connected to %s (%u.%u.%u.%u) port %d", host, a[0], a[1], a[2], a[3],
          static_cast<int>(InstallSettings.Port & 0xFFFF));
  return 0;
}

void CloseSession() {
  // Closed on purpose (shutdown): a receive blocked on it returns, and the
  // failure that follows is not a lost connection to replace.
  Reconnectable = false;
  DropChannel();
}

int32_t SendAll(const void* buffer, int32_t count) {
  SOCKET channel = SessionChannel;
  const char* bytes = static_cast<const char*>(buffer);
  int32_t sent = 0;
  if (channel == 0) return 0;
  while (sent < count) {
    int32_t piece = count - sent < kPieceSize ? count - sent : kPieceSize;
    int result = send(channel, bytes + sent, piece, 0);
    if (result <= 0) {  // SOCKET_ERROR (a stalled send times out): the rest is not sent
      LastSocketError = WSAGetLastError();
      break;
    }
    sent += result;
  }
  return sent;
}

int32_t ReceiveAll(void* buffer, int32_t count) {
  SOCKET channel = SessionChannel;
  char* bytes = static_cast<char*>(buffer);
  int32_t received = 0;
  if (channel == 0) return 0;
  while (received < count) {
    CheckAbort();
    int32_t piece = count - received < kPieceSize ? count - received : kPieceSize;
    DWORD start = GetTickCount();
    int result = recv(channel, bytes + received, piece, 0);
    // SOCKET_ERROR (a stalled receive times out), or 0: the host has
    // closed and nothing more will come.
    if (result <= 0) {
      LastSocketError = result == 0 ? 0 : WSAGetLastError();
      break;
    }
    received += result;
    // A host whose every receive makes progress may still never finish:
    // below the minimum rate, the receive counts as timed out.
    if (!ReplyRate.Feed(GetTickCount() - start, result)) {
      LastSocketError = WSAETIMEDOUT;
      break;
    }
  }
  return received;
}

// One client message: false when it did not go out whole. Length word and
// text leave in one send: sent apart, the text would wait behind the word
// for the host's delayed acknowledgement (about 40 ms a request), since the
// host answers only once the whole message is in.
static bool SendMessageText(const char* text) {
  int32_t length = TextLength(text);
  uint8_t message[kSessionHeaderSize + kRequestTextCapacity];
  PutLengthWord(message, MessageLengthWord(length));
  if (length < kRequestTextCapacity) {
    CopyMemory(message + kSessionHeaderSize, text, length);
    int32_t total = kSessionHeaderSize + length;
    return SendAll(message, total) == total;
  }
  if (SendAll(message, kSessionHeaderSize) != kSessionHeaderSize) return false;
  return SendAll(text, length) == length;
}

void SendText(const char* text) {
  if (!SessionUsable()) return;
  // Half a message would make the host read the next request as its rest.
  if (!SendMessageText(text)) BreakSession("message not sent whole", kFaultLost);
}

// One request and its reply on the connection as it is; a failure that
// breaks the stream sets Fault.
static int32_t RequestOnce(const char* name, int32_t offset, int32_t chunkSize) {
  if (!SessionUsable()) return -1;
  char request[kRequestTextCapacity];
  if (FormatRequest(request, name, offset, chunkSize) == nullptr) {
    DiagLog("session: request for %s at %d does not fit; not sent", name,
            static_cast<int>(offset));
    return -1;
  }
  if (!SendMessageText(request)) {
    BreakSession("request not sent whole", kFaultLost);
    return -1;
  }

  uint8_t word[kSessionHeaderSize];
  if (ReceiveAll(word, kSessionHeaderSize) != kSessionHeaderSize) {
    BreakSession("reply to a request ended before its length word", kFaultLost);
    return -1;
  }
  ReplyHeader header;
  ReplyFrame frame = DecodeReplyWord(GetLengthWord(word), &header);
  if (frame != kReplyPayload && frame != kReplyEmpty) {
    BytesReceived += kSessionHeaderSize;
    DiagLog("session: %s at %d: refused length word 0x%08lX", name, static_cast<int>(offset),
            static_cast<unsigned long>(GetLengthWord(word)));
    BreakSession("reply announced what the buffers cannot hold", kFaultRefused);
    return -1;
  }
  // The session runs only while no mirror worker counts: no lock needed.
  BytesReceived += static_cast<int32_t>(header.countedBytes);
  if (frame == kReplyEmpty) return 0;

  int32_t length = header.payloadLength;
  if (ReceiveAll(ReceiveBuffer, length) != length) {
    BreakSession("reply payload cut short", kFaultLost);
    return -1;
  }
  if (header.compressed) {
    ReplyData = WorkBuffer;
    int32_t inflated = InflateBuffer(ReceiveBuffer, length, WorkBuffer, kSessionChunkSize);
    if (inflated < 0)
      DiagLog("session: %s at %d: compressed reply does not inflate within a chunk", name,
              static_cast<int>(offset));
    return inflated;
  }
  Descramble(ReceiveBuffer, length);
  ReplyData = ReceiveBuffer;
  return length;
}

// Waits the pause before a reconnect in short slices; a shutdown meanwhile
// ends the thread.
static void PauseUnlessAborted(int32_t ms) {
  DWORD start = GetTickCount();
  for (;;) {
    CheckAbort();
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= static_cast<DWORD>(ms)) return;
    DWORD slice = static_cast<DWORD>(ms) - elapsed;
    Sleep(slice < kAbortSliceMs ? slice : kAbortSliceMs);
  }
}

// Try number attempt (from 0) at a new connection for the request at
// name/offset: pause, connect (bounded), and the version notice again, as a
// new session starts with it. True when the request may be sent.
static bool Reconnect(int32_t attempt, const char* name, int32_t offset) {
  int32_t pause = SessionLimits.reconnectDelayMs[attempt];
  DiagLog("session: connection lost before %s at %d; reconnect %d of %d in %d ms", name,
          static_cast<int>(offset), static_cast<int>(attempt + 1), kReconnectTries,
          static_cast<int>(pause));
  PauseUnlessAborted(pause);
  if (ConnectSession(SessionLimits) != 0) {
    CheckAbort();
    Fault = kFaultLost;  // still lost: the next try may reach the host
    return false;
  }
  SendText(kVersionNotice);
  if (!SessionUsable()) return false;
  DiagLog("session: reconnected; asking again for %s at %d", name, static_cast<int>(offset));
  return true;
}

int32_t RequestChunk(const char* name, int32_t offset, int32_t chunkSize) {
  if (ReceiveBuffer == nullptr || WorkBuffer == nullptr) return -1;
  int32_t result = RequestOnce(name, offset, chunkSize);
  // A lost connection is replaced and the same request, at the same offset,
  // sent again; the caller sees the chunk or the final failure, so progress
  // never goes back. A host that keeps failing ends the session for good.
  for (int32_t attempt = 0; Fault == kFaultLost && Reconnectable; attempt++) {
    if (attempt == kReconnectTries) {
      DiagLog("session: host still failing after %d reconnects; giving up the session",
              kReconnectTries);
      Reconnectable = false;
      DropChannel();
      break;
    }
    if (Reconnect(attempt, name, offset)) result = RequestOnce(name, offset, chunkSize);
  }
  return result;
}

// Chunks between two checkpoints of a session download: the staged bytes
// are flushed and the resume record vouches for them (4 MiB).
static const int32_t kCheckpointChunks = 16;

// Why a session download failed, for the log and the run's outcome.
static void SessionFileFailed(const DownloadItem& item, const char* why, int32_t got) {
  DiagLog("session: %s not fetched: %s (%d of %d bytes); the installed file is left as it was",
          item.Name, why, static_cast<int>(got), static_cast<int>(item.Size));
  char reason[kOutcomeReasonCapacity];
  TextBuilder(reason, sizeof reason).Text(item.Name).Text(": ").Text(why);
  NoteRunFailure(reason);
}

// One session download in progress: the item, its staged file and what has
// been received and checked so far.
struct SessionDownload {
  // path and record are filled by the start before any use.
  explicit SessionDownload(DownloadItem& it) : item(it), offset(0), chunks(0) {}
  DownloadItem& item;
  char path[kPathCapacity];
  ResumeRecord record;
  ContentCheck check;
  StagedWriter file;
  int32_t offset;  // bytes of the file staged so far
  int32_t chunks;  // replies received
};

// Where the download starts: a resumed file continues at the offset its
// record vouches for, whose bytes are read once into the check and shown as
// done. The first chunk is asked for before the staged file is touched, so
// that a host that fails leaves it as it was. Null, or why it cannot start;
// *first is the first reply's length.
static const char* StartSessionDownload(SessionDownload& d, int32_t* first) {
  DownloadItem& item = d.item;
  // Everything goes to the staged file; the installed one is replaced only
  // by the commit, once every item is staged complete.
  if (InstallPath(d.path, item.Name) == nullptr || !StagedItemPath(d.path, item.Name, kStagedNew))
    return "name refused";
  if (!SessionUsable()) return "no session to fetch it from";
  PutText(d.record.Name, item.Name);
  d.record.Size = item.Size;
  d.record.Stamp = item.Stamp;
  ResumeRecord kept;
  d.offset = SessionResumeOffset(KeptResumeRecord(&kept) ? &kept : nullptr, item.Name, item.Size,
                                 item.Stamp, StatStaged(d.path).Length);
  *first = RequestChunk(item.Name, d.offset);
  if (*first < 0) return "the host's reply failed";
  d.chunks = 1;

  // The digest covers every byte of the file: on a resumed download the
  // staged part is read once, since this run has not seen its bytes.
  d.check.Start(item);
  if (d.offset > 0 ? !d.file.ContinueAt(d.path, d.offset, &d.check) : !d.file.Create(d.path))
    return "the staged file cannot be written";
  if (d.offset > 0) {
    DiagLog("session: %s continues at %d of %d bytes", item.Name, static_cast<int>(d.offset),
            static_cast<int>(item.Size));
    AddProgress(d.offset);
  } else {
    // The record names the file before its first byte, so that a cut
    // download is continued only with bytes of this very entry.
    d.record.Length = 0;
    SaveResumeRecord(d.record);
  }
  return nullptr;
}

// Writes replies to the staged file and asks for the next chunk until a
// short reply ends the file. Every kCheckpointChunks the staged bytes are
// flushed and the record vouches for them. Null, or why it failed.
static const char* ReceiveChunks(SessionDownload& d, int32_t n) {
  DownloadItem& item = d.item;
  for (;;) {
    if (n > item.Size - d.offset) return "the host sent more than the listed size";
    if (n > 0 && !d.file.Write(ReplyData, n)) {
      DiagLog("session: %s: write failed at %d (error %lu)", item.Name,
              static_cast<int>(d.offset), GetLastError());
      return "the staged file cannot be written";
    }
    d.check.Add(ReplyData, n);
    d.offset += n;
    AddProgress(n);
    if (n < kSessionChunkSize) break;
    if (d.chunks % kCheckpointChunks == 0 && d.file.Flush()) {
      d.record.Length = d.offset;
      SaveResumeRecord(d.record);
    }
    n = RequestChunk(item.Name, d.offset);
    d.chunks++;
    if (n < 0) return "the host's reply failed";
  }
  return d.offset == item.Size ? nullptr : "the host sent fewer bytes than listed";
}

// The whole file's digest, then the seal (flushed, then stamped): an
// unstamped staged file is never taken for complete. Null, or why not.
static const char* SealSessionDownload(SessionDownload& d) {
  ContentVerdict verdict = d.check.Finish();
  if (!ContentAccepted(verdict)) {
    LogContentRefused(d.item.Name, "the session", d.check, verdict);
    // Gone, so that no later run continues after bytes known to be wrong.
    d.file.Discard(d.path);
    return "its bytes do not have the listed SHA-256";
  }
  if (!d.file.Seal(d.item.Stamp)) return "the staged file cannot be flushed";
  return nullptr;
}

void DownloadOverSession(DownloadItem& item) {
  SessionDownload d(item);
  int32_t first = 0;
  const char* why = StartSessionDownload(d, &first);
  if (why == nullptr) why = ReceiveChunks(d, first);
  if (why == nullptr) why = SealSessionDownload(d);
  if (why != nullptr) {
    SessionFileFailed(item, why, d.offset);
    return;
  }
  DiagLog("session: %s staged: %d bytes in %d chunks", item.Name, static_cast<int>(d.offset),
          static_cast<int>(d.chunks));
  item.Received = item.Size;
  item.State = kItemDone;
  NoteFileStaged(kSourceSession);
}
