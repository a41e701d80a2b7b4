// File-system helpers for the Windows tests: scratch folders of their own
// under the temp folder, removed afterwards with everything in them.
#pragma once

#include <windows.h>

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

}  // namespace testfiles
