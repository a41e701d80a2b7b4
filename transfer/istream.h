// TIStream: the program's only HTTP client, a read-only stream over the body
// of one URL (WinINet). Every byte read is counted into BytesReceived.
#pragma once

#include "tinylib/streams.h"

class TIStream : public TBaseStream {
 public:
  explicit TIStream(const char* url);
  ~TIStream() override;
  TIStream(const TIStream&) = delete;
  TIStream& operator=(const TIStream&) = delete;

  // Fills the count unless the body ends or a read fails first.
  int32_t Read(void* buffer, int32_t count) override;
  // Origin 1 (from the current position) only; counted into BytesReceived.
  int32_t Seek(int32_t distance, uint8_t origin) override;

  bool IsOpen() const { return UrlHandle != nullptr; }

 private:
  void* InternetHandle;
  void* UrlHandle;
};
