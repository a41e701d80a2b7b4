// TIStream over WinINet: the body of one URL as a read-only stream.
//
// Nothing about the reply is checked here: whatever body the server sends
// is read, and a URL that cannot be opened simply reads as empty. The
// readers above (manifest, inflate, remote parameters) judge the bytes.
#include "transfer/istream.h"

#include <windows.h>
#include <wininet.h>

#include "runtime/progress.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"

static const char kUserAgent[] = "BREVANE";

TIStream::TIStream(const char* url) : InternetHandle(nullptr), UrlHandle(nullptr) {
  InternetHandle = InternetOpenA(kUserAgent,
                                 INTERNET_OPEN_TYPE_PRECONFIG,  // the system's proxy settings
                                 nullptr,                       // no proxy of our own
                                 nullptr,                       // no bypass list
                                 0);                            // synchronous, no flags
  if (InternetHandle == nullptr) {
    DiagLog("http: InternetOpen failed (error %lu)", GetLastError());
    return;
  }
  // Never the cache: a cached files.ver could hide a new release, and every
  // object written there would fill the user's cache for nothing (each is
  // read once).
  UrlHandle = InternetOpenUrlA(InternetHandle, url,
                               nullptr, 0,  // no extra headers
                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   INTERNET_FLAG_PRAGMA_NOCACHE,
                               0);  // context, unused without a callback
  if (UrlHandle == nullptr) DiagLog("http: cannot open %s (error %lu)", url, GetLastError());
}

TIStream::~TIStream() {
  if (UrlHandle != nullptr) InternetCloseHandle(UrlHandle);
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
