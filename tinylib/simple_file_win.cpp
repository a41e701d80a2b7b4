// TSimpleFile over kernel32 file handles, and CreateOutputFile.
#include "tinylib/simple_file.h"

#include <windows.h>

#include "tinylib/diaglog.h"
#include "tinylib/folders.h"
#include "tinylib/text.h"

// Room for a Windows path and its terminator (MAX_PATH): CreateOutputFile
// makes folders on a private copy, so the caller's text is never touched.
static const size_t kPathCapacity = 260;

TSimpleFile::TSimpleFile(const char* path, uint8_t forWrite) {
  if (forWrite != 0) {
    handle_ = CreateFileA(path,
                          GENERIC_READ | GENERIC_WRITE,
                          0,              // no sharing while we write it
                          nullptr,        // default security
                          CREATE_ALWAYS,  // an existing file is truncated
                          FILE_ATTRIBUTE_NORMAL,
                          nullptr);
  } else {
    handle_ = CreateFileA(path,
                          GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE,  // others may keep writing it
                          nullptr,
                          OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL,
                          nullptr);
  }
  if (handle_ == INVALID_HANDLE_VALUE)
    DiagLog("file: cannot open %s for %s (error %lu)", path,
            forWrite != 0 ? "writing" : "reading", GetLastError());
}

TSimpleFile::~TSimpleFile() { Close(); }

TSimpleFile::TSimpleFile(TSimpleFile&& other) : handle_(other.handle_) {
  other.handle_ = INVALID_HANDLE_VALUE;
}

TSimpleFile& TSimpleFile::operator=(TSimpleFile&& other) {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  return *this;
}

void TSimpleFile::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

bool TSimpleFile::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

int32_t TSimpleFile::Read(void* buffer, int32_t count) {
  // A negative count would reach ReadFile as a size of about 4 GiB.
  if (count < 0) return -1;
  DWORD done = 0;
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int32_t TSimpleFile::Write(void* buffer, int32_t count) {
  if (count < 0) return -1;
  DWORD done = 0;
  if (!WriteFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int32_t TSimpleFile::Seek(int32_t distance, uint8_t origin) {
  // No high part: files of the installer stay below 2 GiB. Failure gives
  // INVALID_SET_FILE_POINTER, which is -1 as a signed result.
  DWORD position = SetFilePointer(handle_, distance, nullptr, origin & 0x7F);
  return static_cast<int32_t>(position);
}

void TSimpleFile::WriteLine(const char* text) {
  static const char kLineEnd[2] = {'\r', '\n'};
  // Write only reads the bytes; the cast meets its signature.
  if (text != nullptr && text[0] != 0)
    Write(const_cast<char*>(text), TextLength(text));
  Write(const_cast<char*>(kLineEnd), sizeof kLineEnd);
}

TSimpleFile CreateOutputFile(const char* path) {
  TSimpleFile first(path, 1);
  if (first.IsOpen()) return first;

  char folders[kPathCapacity];
  if (CopyTextCut(folders, sizeof folders, path)) {
    MakeFolders(folders);
  } else {
    // Longer than a Windows path: the retry below fails just the same.
    DiagLog("file: path too long to make folders for: %.200s", path);
  }
  TSimpleFile second(path, 1);
  if (!second.IsOpen()) DiagLog("file: giving up on %s after making folders", path);
  return second;
}
