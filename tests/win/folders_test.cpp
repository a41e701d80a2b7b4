// MakeFolders against the real file system.
#include "tinylib/folders.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "tinylib/text.h"

namespace {

std::string ScratchRoot() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  char name[64];
  wsprintfA(name, "pellinor-folders-%lu-%lu\\", GetCurrentProcessId(), GetTickCount());
  return std::string(temp) + name;
}

bool IsFolder(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(MakeFolders, CreatesEveryMissingParentAndRestoresTheText) {
  std::string root = ScratchRoot();
  char path[MAX_PATH];
  PutText(path, (root + "A\\B\\C\\file.dat").c_str());
  std::string before = path;
  MakeFolders(path);
  EXPECT_EQ(before, path);
  EXPECT_TRUE(IsFolder(root + "A\\B\\C"));
  EXPECT_FALSE(IsFolder(root + "A\\B\\C\\file.dat"));

  // A folder path ending in a backslash makes the folder itself.
  PutText(path, (root + "D\\E\\").c_str());
  MakeFolders(path);
  EXPECT_TRUE(IsFolder(root + "D\\E"));

  RemoveDirectoryA((root + "A\\B\\C").c_str());
  RemoveDirectoryA((root + "A\\B").c_str());
  RemoveDirectoryA((root + "A").c_str());
  RemoveDirectoryA((root + "D\\E").c_str());
  RemoveDirectoryA((root + "D").c_str());
  RemoveDirectoryA(root.c_str());
}

TEST(MakeFolders, LeavesDriveRootsAndBareNamesAlone) {
  const char* cases[] = {"C:\\file.dat", "C:\\", "file.dat", ""};
  for (const char* c : cases) {
    char path[MAX_PATH];
    PutText(path, c);
    MakeFolders(path);
    EXPECT_STREQ(path, c);
  }
}

TEST(MakeFolders, AFileInTheWayIsNotReplaced) {
  std::string root = ScratchRoot();
  char path[MAX_PATH];
  PutText(path, (root + "blocker\\x.dat").c_str());
  MakeFolders(path);  // makes root and "blocker"... as a folder
  RemoveDirectoryA((root + "blocker").c_str());
  HANDLE f = CreateFileA((root + "blocker").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  CloseHandle(f);
  PutText(path, (root + "blocker\\sub\\x.dat").c_str());
  MakeFolders(path);  // cannot succeed; must not crash or alter the text
  EXPECT_FALSE(IsFolder(root + "blocker"));
  EXPECT_EQ(std::string(path), root + "blocker\\sub\\x.dat");
  DeleteFileA((root + "blocker").c_str());
  RemoveDirectoryA(root.c_str());
}

TEST(SpecialFolderPath, EndsWithOneBackslash) {
  for (int csidl : {kCsidlCommonStartMenu, kCsidlCommonDesktop, kCsidlCommonAppData}) {
    char path[262];
    SpecialFolderPath(path, csidl);
    int n = TextLength(path);
    ASSERT_GT(n, 3) << csidl;
    EXPECT_EQ(path[n - 1], '\\');
    EXPECT_NE(path[n - 2], '\\');
  }
}

}  // namespace
