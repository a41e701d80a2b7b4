// File-system helpers for the Windows tests: scratch folders of their own
// under the temp folder, removed afterwards with everything in them.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace testfiles {

// Removes the folder (given with or without its trailing backslash) and all
// it holds.
inline void RemoveTree(std::string folder) {
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = folder + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

// Creates a new, empty folder "<temp>\pellinor-<tag>-<pid>-<tick>" and gives
// its path without a trailing backslash; empty when it cannot be made.
inline std::string MakeScratchFolder(const char* tag) {
  char temp[MAX_PATH];
  if (GetTempPathA(sizeof temp, temp) == 0) return std::string();
  for (int attempt = 0; attempt < 100; attempt++) {
    char unique[96];
    snprintf(unique, sizeof unique, "pellinor-%s-%lu-%lu-%d", tag, GetCurrentProcessId(),
             static_cast<unsigned long>(GetTickCount()), attempt);
    std::string folder = std::string(temp) + unique;
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder;
  }
  return std::string();
}

inline uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second) {
  return (static_cast<uint32_t>(year - 1980) << 25) | (month << 21) | (day << 16) |
         (hour << 11) | (minute << 5) | (second / 2);
}

// Writes the bytes and, when stamp is not 0, sets the last-write time from it
// as the downloads do (UTC).
inline bool PutFile(const std::string& path, const std::string& bytes, uint32_t stamp = 0) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  if (stamp != 0) {
    FILETIME time;
    ok = ok && DosDateTimeToFileTime(static_cast<WORD>(stamp >> 16), static_cast<WORD>(stamp), &time) &&
         SetFileTime(file, nullptr, nullptr, &time);
  }
  CloseHandle(file);
  return ok;
}

// The file's last-write time as a DOS stamp (UTC); 0 when it cannot be read.
inline uint32_t StampOf(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FILETIME written;
  WORD date = 0, time = 0;
  if (GetFileTime(file, nullptr, nullptr, &written)) FileTimeToDosDateTime(&written, &date, &time);
  CloseHandle(file);
  return static_cast<uint32_t>(date) << 16 | time;
}

}  // namespace testfiles
