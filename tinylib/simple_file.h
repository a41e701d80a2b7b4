// TSimpleFile: a stream over one Windows file, and CreateOutputFile.
//
// The handle is kept as void* so that portable code can use the class without
// windows.h; the implementation is Windows-only (simple_file_win.cpp).
#pragma once

#include <stdint.h>

#include "tinylib/streams.h"

class TSimpleFile : public TBaseStream {
 public:
  // Opens for writing (created or truncated, not shared while open) when
  // forWrite is non-zero, else for reading (shared). Never fails: a file that
  // cannot be opened gives an object that is not open, whose Read, Write and
  // Seek return -1.
  TSimpleFile(const char* path, uint8_t forWrite);
  // Takes over a handle opened elsewhere (INVALID_HANDLE_VALUE: not open).
  explicit TSimpleFile(void* handle) : handle_(handle) {}
  ~TSimpleFile() override;

  // Movable, so that CreateOutputFile can return one by value; the moved-from
  // object is left not open.
  TSimpleFile(TSimpleFile&& other);
  TSimpleFile& operator=(TSimpleFile&& other);
  TSimpleFile(const TSimpleFile&) = delete;
  TSimpleFile& operator=(const TSimpleFile&) = delete;

  bool IsOpen() const;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(void* buffer, int32_t count) override;
  // origin & 0x7F is the move method; only the low 32 bits of the position.
  int32_t Seek(int32_t distance, uint8_t origin) override;
  // The text (if any), then CR LF, both through Write; results ignored.
  void WriteLine(const char* text);

  // The Windows HANDLE, for callers that set the file's time.
  void* Handle() const { return handle_; }

 private:
  void Close();

  void* handle_;
};

// Opens the path for writing; when that fails, makes the missing folders of
// the path and tries exactly once more. The result may still not be open:
// callers that care ask IsOpen. The path text is not changed.
TSimpleFile CreateOutputFile(const char* path);

// True when a local file of this size and DOS stamp exists (size 0: when it
// exists at all). A folder of that name is not the file.
bool IsUpToDate(const char* path, int32_t size, uint32_t stamp);
// The size of a plain file (not a folder), or -1.
int64_t FileLength(const char* path);
// Reads at most capacity bytes of the file into buffer in one read: the
// count, 0 when the file cannot be opened, -1 when the read fails.
int32_t ReadFileToBuffer(const char* path, char* buffer, int32_t capacity);
// Sets the file's last-write time from a DOS stamp (date in the high 16
// bits, kept as UTC): 0 or the system error.
uint32_t SetFileStamp(void* fileHandle, uint32_t stamp);
