// The one join of the install folder and a name: every writer of the
// installer goes through it, so what it refuses is never written.
#include "config/install_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tinylib/text.h"

namespace {

TEST(InstallPath, JoinsWithOneSeparatorAndBackslashesOnly) {
  struct Case {
    const char* dir;
    const char* name;
    const char* path;
  } cases[] = {
      {"C:\\Inst\\", "bin\\a.dll", "C:\\Inst\\bin\\a.dll"},
      {"C:\\Inst", "x.dll", "C:\\Inst\\x.dll"},  // no closing backslash
      {"C:\\Inst/", "x.dll", "C:\\Inst/x.dll"},
      {"C:\\I\\", "bin/sub/x.dll", "C:\\I\\bin\\sub\\x.dll"},
  };
  for (const Case& c : cases) {
    char path[kPathCapacity];
    ASSERT_NE(InstallPathIn(path, sizeof path, c.dir, c.name), nullptr) << c.name;
    EXPECT_STREQ(path, c.path);
  }
}

TEST(InstallPath, RefusesNamesThatLeaveTheFolderAndEmptiesTheBuffer) {
  const char* hostile[] = {"C:\\pellinor-x", "\\pellinor-x", "/pellinor-x",
                           "a\\..\\..\\pellinor-x", "..\\pellinor-x", "pellinor-x:y",
                           "a/../../pellinor-x", "", "CON", "bin\\COM0.txt", nullptr};
  for (const char* name : hostile) {
    char path[kPathCapacity] = "stale";
    EXPECT_EQ(InstallPathIn(path, sizeof path, "C:\\Inst\\", name), nullptr)
        << (name ? name : "(null)");
    EXPECT_EQ(path[0], 0);
  }
  char path[kPathCapacity] = "stale";
  EXPECT_EQ(InstallPathIn(path, sizeof path, "", "x.dll"), nullptr);  // no install folder
  EXPECT_EQ(InstallPathIn(path, sizeof path, nullptr, "x.dll"), nullptr);
  EXPECT_EQ(path[0], 0);
}

// A cut path would name some other file: the whole path fits or nothing.
TEST(InstallPath, NeverPassesTheCapacity) {
  const std::string dir = "C:\\I\\";
  struct Case {
    size_t capacity;
    size_t nameLength;
    bool fits;
  } cases[] = {
      {kPathCapacity, kPathCapacity - 1 - dir.size(), true},  // 259 characters exactly
      {kPathCapacity, kPathCapacity - dir.size(), false},
      {257, 256 - dir.size(), true},
      {257, 257 - dir.size(), false},
  };
  for (const Case& c : cases) {
    std::string buffer(c.capacity + 8, '#');
    std::string name(c.nameLength, 'n');
    char* result = InstallPathIn(&buffer[0], c.capacity, dir.c_str(), name.c_str());
    EXPECT_EQ(result != nullptr, c.fits) << c.capacity << " " << c.nameLength;
    if (c.fits) EXPECT_EQ(TextLength(buffer.c_str()), static_cast<int>(dir.size() + c.nameLength));
    EXPECT_EQ(buffer.substr(c.capacity), std::string(8, '#'));  // nothing past the capacity
  }
}

TEST(InstallPath, TheSettingsFormUsesTheInstallFolder) {
  ResetInstallSettings();
  PutText(InstallSettings.InstallDir, "D:\\Client\\");
  char path[kPathCapacity];
  ASSERT_NE(InstallPath(path, "linkfiles"), nullptr);
  EXPECT_STREQ(path, "D:\\Client\\linkfiles");
  InstallSettings.InstallDir[0] = 0;
  EXPECT_EQ(InstallPath(path, "linkfiles"), nullptr);
  ResetInstallSettings();
}

}  // namespace
