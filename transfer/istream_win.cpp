// TIStream over WinINet: the body of one URL as a read-only stream.
//
// Nothing about the reply is checked here: whatever body the server sends
// is read, and a URL that cannot be opened simply reads as empty. The
// readers above (manifest, inflate, remote parameters) judge the bytes.
#include "transfer/istream.h"

#include <windows.h>
#include <wininet.h>

#include "config/settings.h"
#include "runtime/progress.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"
#include "transfer/net_limits.h"

static const char kUserAgent[] = "BREVANE";

// Connect, send and receive bounds on a WinINet handle; handles made from it
// start with them. False when one is not taken.
static bool SetTimeouts(HINTERNET handle, const NetLimits& limits) {
  DWORD connect = static_cast<DWORD>(limits.connectMs);
  DWORD stall = static_cast<DWORD>(limits.stallMs);
  return InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect) &&
         InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &stall, sizeof stall) &&
         InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof stall);
}

TIStream::TIStream(const char* url, const NetLimits& limits)
    : InternetHandle(nullptr), ConnectHandle(nullptr), UrlHandle(nullptr) {
  InternetHandle = InternetOpenA(kUserAgent,
                                 INTERNET_OPEN_TYPE_PRECONFIG,  // the system's proxy settings
                                 nullptr,                       // no proxy of our own
                                 nullptr,                       // no bypass list
                                 0);                            // synchronous, no flags
  if (InternetHandle == nullptr) {
    DiagLog("http: InternetOpen failed (error %lu)", GetLastError());
    return;
  }
  // A server that accepts and then says nothing must cost one bounded
  // attempt. The bounds go on the session handle, and again on the
  // connection handle: Wine keeps none of them from the session handle
  // (measured: an opened URL on a silent server waited for minutes), and a
  // close from another thread does not end a blocked call there either.
  // Wine ignores the connect bound wherever it is set; Windows applies it.
  if (!SetTimeouts(InternetHandle, limits))
    DiagLog("http: time-outs not set (error %lu)", GetLastError());

  // The URL is opened in its steps (server, request, send) rather than in
  // one call, so that the connection handle can carry the bounds.
  URL_COMPONENTSA parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;  // non-zero without a buffer: point into url
  parts.dwUrlPathLength = 1;
  char host[kPathCapacity];
  if (!InternetCrackUrlA(url, 0, 0, &parts) || parts.lpszHostName == nullptr ||
      parts.dwHostNameLength == 0 || parts.dwHostNameLength >= sizeof host ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
    DiagLog("http: cannot open %s (not an HTTP URL)", url);
    return;
  }
  CopyMemory(host, parts.lpszHostName, parts.dwHostNameLength);
  host[parts.dwHostNameLength] = 0;
  // Path and query as written; an empty path asks for the root.
  const char* object = parts.lpszUrlPath != nullptr && parts.dwUrlPathLength > 0
                           ? parts.lpszUrlPath
                           : "/";
  ConnectHandle = InternetConnectA(InternetHandle, host, parts.nPort,
                                   nullptr, nullptr,  // no user name or password
                                   INTERNET_SERVICE_HTTP, 0, 0);
  if (ConnectHandle == nullptr || !SetTimeouts(ConnectHandle, limits)) {
    DiagLog("http: cannot open %s (error %lu)", url, GetLastError());
    return;
  }
  // Never the cache: a cached files.ver could hide a new release, and every
  // object written there would fill the user's cache for nothing (each is
  // read once).
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  HINTERNET request = HttpOpenRequestA(ConnectHandle,
                                       nullptr,  // GET
                                       object,
                                       nullptr, nullptr, nullptr,  // HTTP/1.1, no referrer, any type
                                       flags,
                                       0);  // context, unused without a callback
  if (request == nullptr) {
    DiagLog("http: cannot open %s (error %lu)", url, GetLastError());
    return;
  }
  if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
    DWORD error = GetLastError();
    DiagLog("http: cannot open %s (error %lu%s)", url, error,
            error == ERROR_INTERNET_TIMEOUT ? ", no answer within the bound" : "");
    InternetCloseHandle(request);
    return;
  }
  UrlHandle = request;
}

TIStream::~TIStream() {
  if (UrlHandle != nullptr) InternetCloseHandle(UrlHandle);
  if (ConnectHandle != nullptr) InternetCloseHandle(ConnectHandle);
  if (InternetHandle != nullptr) InternetCloseHandle(InternetHandle);
}

int32_t TIStream::Read(void* buffer, int32_t count) {
  // Without a URL handle every read is empty; a negative count would reach
  // InternetReadFile as a size of about 4 GiB.
  if (UrlHandle == nullptr || count <= 0) return 0;
  char* bytes = static_cast<char*>(buffer);
  int32_t total = 0;
  while (total < count) {
    DWORD got = 0;
    if (!InternetReadFile(UrlHandle, bytes + total, static_cast<DWORD>(count - total), &got)) {
      DiagLog("http: read failed after %d bytes (error %lu)", static_cast<int>(total),
              GetLastError());
      break;
    }
    if (got == 0) break;  // end of the body
    CheckAbort();
    total += static_cast<int32_t>(got);
  }
  if (total > 0) LockedAdd(&BytesReceived, total);
  return total;
}

// BytesReceived counts the bytes this stream has handed to its reader. A
// successful seek back hands bytes back, so they are taken off the count;
// when the seek fails (WinINet may refuse to move, and Wine never moves)
// those bytes stay consumed by the reader and stay counted.
int32_t TIStream::Seek(int32_t distance, uint8_t origin) {
  if (origin != kSeekFromCurrent) return 0;
  DWORD position = InternetSetFilePointer(UrlHandle, distance,
                                          nullptr,       // no high part
                                          FILE_CURRENT,  // relative to the read position
                                          0);            // reserved context
  if (position == INVALID_SET_FILE_POINTER) {
    DiagLog("http: seek by %d failed (error %lu); bytes stay counted",
            static_cast<int>(distance), GetLastError());
  } else {
    LockedAdd(&BytesReceived, distance);
  }
  return static_cast<int32_t>(position);
}
