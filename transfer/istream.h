// TIStream: the program's only HTTP client, a read-only stream over the body
// of one URL (WinINet). Every byte read is counted into BytesReceived. A
// connect, send or receive that makes no progress within the bounds of
// net_limits.h fails, so a silent server costs one bounded attempt.
#pragma once

#include "tinylib/streams.h"
#include "transfer/net_limits.h"

class TIStream : public TBaseStream {
 public:
  explicit TIStream(const char* url, const NetLimits& limits = CurrentNetLimits());
  ~TIStream() override;
  TIStream(const TIStream&) = delete;
  TIStream& operator=(const TIStream&) = delete;

  // Fills the count unless the body ends or a read fails first; never
  // negative. The bytes read are added to BytesReceived.
  int32_t Read(void* buffer, int32_t count) override;
  // Origin 1 (from the current position) only: the new position, or -1 when
  // WinINet cannot move (Wine never can). Only a seek that moved is added to
  // BytesReceived, so bytes that could not be handed back stay counted.
  // Other origins do nothing and give 0.
  int32_t Seek(int32_t distance, uint8_t origin) override;

  // Whether the URL was opened (callers that care test it).
  bool IsOpen() const { return UrlHandle != nullptr; }

 private:
  void* InternetHandle;
  void* ConnectHandle;  // the server's connection, which carries the time-outs
  void* UrlHandle;      // the request; null when the URL could not be opened
};
