// TSimpleFile over kernel32 file handles, CreateOutputFile, and the file
// helpers that work by path (up-to-date check, one-piece read, file time).
#include "tinylib/simple_file.h"

#include <windows.h>

#include "tinylib/diaglog.h"
#include "tinylib/find_handle_win.h"
#include "tinylib/folders.h"
#include "tinylib/text.h"

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

  // Folders are made on a private copy, so the caller's text is never touched.
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

bool IsUpToDate(const char* path, int32_t size, uint32_t stamp) {
  WIN32_FIND_DATAA found;
  if (!FindHandle(path, &found).Valid()) return false;
  // A folder of that name is not the file, whatever the entry says.
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if (size == 0) return true;  // existence is enough for an empty entry

  WORD date = 0;
  WORD time = 0;
  // A time outside the DOS range (before 1980) cannot equal any stamp.
  if (!FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time)) return false;
  uint32_t localStamp = (static_cast<uint32_t>(date) << 16) | time;
  // The high part must be 0 too: a file 4 GiB larger is not the same size.
  return size > 0 && found.nFileSizeHigh == 0 &&
         found.nFileSizeLow == static_cast<DWORD>(size) && localStamp == stamp;
}

int32_t ReadFileToBuffer(const char* path, char* buffer, int32_t capacity) {
  TSimpleFile file(path, 0);
  if (!file.IsOpen()) return 0;
  return file.Read(buffer, capacity);
}

uint32_t SetFileStamp(void* fileHandle, uint32_t stamp) {
  FILETIME written;
  // Date in the high half, time in the low half; kept as UTC, no local-time
  // conversion, so the manifest's stamp reads back unchanged.
  if (DosDateTimeToFileTime(static_cast<WORD>(stamp >> 16), static_cast<WORD>(stamp & 0xFFFF),
                            &written) &&
      SetFileTime(static_cast<HANDLE>(fileHandle), nullptr, nullptr, &written))
    return 0;
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_INVALID_PARAMETER;
}

int64_t FileLength(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
