// The names the installer keeps for its own files, as publisher and
// installer both apply them.
#include "manifest/reserved_names.h"

#include <gtest/gtest.h>

TEST(IsReservedInstallName, TopLevelNamesTheInstallerWritesAreReserved) {
  const struct {
    const char* name;
    bool reserved;
  } cases[] = {
      {"linkfiles", true},
      {"LINKFILES", true},
      {"install.txt", true},
      {"Install.TXT", true},
      {"PARAMS.CFG", true},
      {"params.cfg", true},
      {"Pellinor.staging", true},
      {"pellinor.STAGING\\new\\Lumaris.exe", true},
      {"Pellinor.staging/old/a.dll", true},
      // Windows drops trailing dots and blanks when it opens a file.
      {"linkfiles.", true},
      {"linkfiles .", true},
      {"install.txt  ", true},
      // Generated short names can open a reserved file.
      {"LINKFI~1", true},
      {"pellin~1.sta", true},
      {"LI1A2B~1", true},
      {"PELLIN~1.STA\\new\\x.dll", true},
      // Allowed: the uninstaller copy, other names, the names below a folder.
      {"Pellinor.exe", false},
      {"PELLINOR.EXE", false},
      {"Lumaris.exe", false},
      {"linkfiles2", false},
      {"linkfile", false},
      {"install.txt.bak", false},
      {"my.install.txt", false},
      {"Pellinor.stagingx\\a", false},
      {"EN\\linkfiles", false},
      {"data\\install.txt", false},
      {"bin/PARAMS.CFG", false},
      {"EN\\LINKFI~1", false},
      // '~' names that cannot be short names of anything else.
      {"backup~1.dat.old", false},
      {"longer-name~1.txt", false},
      {"a~b.txt", false},
      {"~1", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsReservedInstallName(c.name), c.reserved) << c.name;
  EXPECT_TRUE(IsReservedInstallName(nullptr));
}
