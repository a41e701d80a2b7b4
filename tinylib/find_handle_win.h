// A directory search handle (FindFirstFileA) that closes itself.
#pragma once

#include <windows.h>

class FindHandle {
 public:
  // Starts the search; Valid() tells whether entry holds a first entry.
  FindHandle(const char* pattern, WIN32_FIND_DATAA* entry)
      : h_(FindFirstFileA(pattern, entry)) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAA* entry) { return FindNextFileA(h_, entry) != 0; }

 private:
  HANDLE h_;
};
