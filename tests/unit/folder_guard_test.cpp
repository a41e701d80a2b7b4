// The folder guard's text half: every spelling of a system folder must come
// to the same canonical text, and the decision on it must refuse roots and
// known folders while sub-folders stay allowed.
#include "install/folder_guard.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

// Prefix stripping and normalisation together, as the Windows half applies
// them (GetFullPathNameA in between leaves a full path as it is).
std::string Canonical(const char* path) {
  char stripped[kPathCapacity];
  char out[kPathCapacity];
  if (!StripPathPrefix(path, stripped, sizeof stripped)) return "<none>";
  if (!NormalizeFullPath(stripped, out, sizeof out)) return "<none>";
  return out;
}

FolderList WindowsKnownFolders() {
  static const char* const kFolders[] = {
      "C:\\Windows",
      "C:\\Windows\\system32",
      "C:\\Program Files",
      "C:\\Program Files (x86)",
      "C:\\ProgramData",
      "C:\\Users",
      "C:\\Users\\Public",
      "C:\\Users\\ann",
      "C:\\Users\\ann\\AppData\\Roaming",
      "C:\\Users\\ann\\AppData\\Local",
      "C:\\Users\\ann\\AppData\\Local\\Temp",
      "C:\\Users\\ann\\Desktop",
      "C:\\ProgramData\\Microsoft\\Windows\\Start Menu",
  };
  FolderList list;
  ClearFolders(&list);
  for (const char* folder : kFolders) AddFolder(&list, folder);
  return list;
}

}  // namespace

TEST(CanonicalText, EverySpellingOfAFolderComesToOneText) {
  const struct {
    const char* path;
    const char* canonical;
  } cases[] = {
      {"C:\\Windows", "C:\\Windows"},
      {"C:\\Windows\\", "C:\\Windows"},
      {"C:\\Windows\\\\\\", "C:\\Windows"},
      {"C:/Windows//System32/", "C:\\Windows\\System32"},
      {"C:\\windows\\..\\windows", "C:\\windows"},
      {"C:\\Windows\\.\\System32\\..", "C:\\Windows"},
      {"C:\\Windows.", "C:\\Windows"},
      {"C:\\Windows. .\\", "C:\\Windows"},
      {"C:\\..\\..\\Windows", "C:\\Windows"},
      {"C:\\", "C:\\"},
      {"C:", "C:\\"},
      {"C:\\.", "C:\\"},
      {"C:\\a\\..", "C:\\"},
      {"\\\\?\\C:\\", "C:\\"},
      {"\\\\?\\C:", "C:\\"},
      {"\\\\.\\C:\\Windows\\", "C:\\Windows"},
      {"//?/C:/Windows", "C:\\Windows"},
      {"\\??\\C:\\Windows", "C:\\Windows"},
      {"\\\\server\\share\\", "\\\\server\\share"},
      {"\\\\server\\\\share\\\\dir\\..", "\\\\server\\share"},
      {"\\\\server\\share\\..\\..\\other", "\\\\server\\share\\other"},
      {"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x"},
      {"\\\\server", "\\\\server"},
      // Not full paths, or no folder at all.
      {"Windows", "<none>"},
      {"\\Windows", "<none>"},
      {"C:Windows", "<none>"},
      {"", "<none>"},
      {"\\\\", "<none>"},
      {"\\\\..\\share", "<none>"},
      {"\\\\?\\Volume{12345678-0000-0000-0000-000000000000}\\", "<none>"},
      {"\\\\.\\PhysicalDrive0", "<none>"},
      {"\\\\.\\pipe\\x", "<none>"},
      {"\\\\?\\UNC\\", "<none>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Canonical(c.path), c.canonical) << c.path;
}

TEST(CanonicalText, NeverWritesPastItsBuffer) {
  char small[8];
  memset(small, 'Z', sizeof small);
  EXPECT_FALSE(NormalizeFullPath("C:\\Windows", small, 6));
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[6], 'Z');
  EXPECT_FALSE(StripPathPrefix("\\\\?\\UNC\\server\\share", small, 6));
  EXPECT_EQ(small[6], 'Z');
  std::string deep = "C:";
  while (deep.size() < kPathCapacity + 10) deep += "\\abc";
  char out[kPathCapacity];
  EXPECT_FALSE(NormalizeFullPath(deep.c_str(), out, sizeof out));
  // The longest path that fits is taken whole.
  std::string longest = "C:\\x\\" + std::string(120, 'a') + "\\..\\" + std::string(130, 'b');
  ASSERT_EQ(longest.size(), static_cast<size_t>(kPathCapacity - 1));
  ASSERT_TRUE(NormalizeFullPath(longest.c_str(), out, sizeof out));
  EXPECT_EQ(std::string(out), "C:\\x\\" + std::string(130, 'b'));
}

TEST(FolderGuard, RootsAndKnownFoldersAreRefusedTheirSubFoldersAllowed) {
  FolderList known = WindowsKnownFolders();
  const struct {
    const char* folder;
    FolderVerdict verdict;
  } cases[] = {
      {"C:\\", kFolderDriveRoot},
      {"D:\\", kFolderDriveRoot},
      {"\\\\server\\share", kFolderShareRoot},
      {"\\\\server", kFolderShareRoot},
      {"C:\\Windows", kFolderKnown},
      {"c:\\WINDOWS", kFolderKnown},
      {"C:\\Windows\\System32", kFolderKnown},
      {"C:\\Program Files", kFolderKnown},
      {"C:\\PROGRAM FILES (X86)", kFolderKnown},
      {"C:\\Users\\ann\\AppData\\Roaming", kFolderKnown},
      {"C:\\Users\\ann\\AppData\\Local\\Temp", kFolderKnown},
      {"C:\\ProgramData\\Microsoft\\Windows\\Start Menu", kFolderKnown},
      // A folder that holds a known one: its files are the system's too.
      {"C:\\Users\\ann\\AppData", kFolderHoldsKnown},
      {"C:\\ProgramData\\Microsoft", kFolderHoldsKnown},
      {"", kFolderNoFullPath},
      // Sub-folders are where installations go.
      {"C:\\Program Files\\Brevane\\Client", kFolderAllowed},
      {"C:\\Program Files (x86)\\Brevane", kFolderAllowed},
      {"C:\\Users\\ann\\AppData\\Roaming\\Brevane\\acme", kFolderAllowed},
      {"C:\\ProgramData\\Brevane\\Azure", kFolderAllowed},
      {"C:\\Users\\ann\\AppData\\Local\\Temp\\x", kFolderAllowed},
      {"C:\\Windowsx", kFolderAllowed},
      {"C:\\Program", kFolderAllowed},
      {"D:\\Apps\\Brevane", kFolderAllowed},
      {"\\\\server\\share\\Brevane", kFolderAllowed},
  };
  for (const auto& c : cases) {
    int32_t which = -2;
    EXPECT_EQ(JudgeFolder(c.folder, known, &which), c.verdict) << c.folder;
    bool byList = c.verdict == kFolderKnown || c.verdict == kFolderHoldsKnown;
    EXPECT_EQ(which >= 0, byList) << c.folder;
  }
  EXPECT_STREQ(FolderVerdictText(kFolderKnown), "is a system folder");
}

TEST(FolderGuard, ShortNamesAreFoundInAnyComponent) {
  EXPECT_TRUE(HoldsShortNameComponent("C:\\PROGRA~1"));
  EXPECT_TRUE(HoldsShortNameComponent("\\Brevane\\CLIENT~2\\x"));
  EXPECT_TRUE(HoldsShortNameComponent("PROG~5P2"));
  EXPECT_FALSE(HoldsShortNameComponent("C:\\Program Files\\Brevane~Client"));
  EXPECT_FALSE(HoldsShortNameComponent("\\Brevane\\Client"));
  EXPECT_FALSE(HoldsShortNameComponent(""));
}

TEST(FolderGuard, AncestorsClimbToTheRoot) {
  FolderList list;
  ClearFolders(&list);
  AddAncestors(&list, "C:\\Users\\ann\\Desktop");
  AddAncestors(&list, "C:\\Users\\Public");
  AddAncestors(&list, "\\\\server\\share\\a\\b");
  AddAncestors(&list, "D:\\");
  const char* expected[] = {"C:\\Users\\ann", "C:\\Users", "C:\\", "\\\\server\\share\\a",
                            "\\\\server\\share"};
  ASSERT_EQ(list.Count, 5);
  for (int i = 0; i < 5; i++) EXPECT_STREQ(list.Paths[i], expected[i]);
}

TEST(FolderGuard, FolderListSkipsDuplicatesAndStaysBounded) {
  FolderList list;
  ClearFolders(&list);
  AddFolder(&list, "C:\\Windows");
  AddFolder(&list, "c:\\windows");
  AddFolder(&list, "");
  EXPECT_EQ(list.Count, 1);
  for (int i = 0; i < kGuardFolderCapacity + 5; i++)
    AddFolder(&list, ("C:\\f" + std::to_string(i)).c_str());
  EXPECT_EQ(list.Count, kGuardFolderCapacity);
}

TEST(FolderGuard, OnlyShortcutsInsideTheShortcutFoldersMayBeDeleted) {
  FolderList shortcuts;
  FolderList startup;
  ClearFolders(&shortcuts);
  ClearFolders(&startup);
  AddFolder(&shortcuts, "C:\\Users\\Public\\Desktop");
  AddFolder(&shortcuts, "C:\\ProgramData\\Microsoft\\Windows\\Start Menu");
  AddFolder(&startup, "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup");
  const struct {
    const char* path;
    bool deletable;
  } cases[] = {
      {"C:\\Users\\Public\\Desktop\\Brevane.lnk", true},
      {"c:\\users\\public\\desktop\\Brevane.LNK", true},
      {"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Brevane\\Uninstall Brevane.lnk", true},
      // Elsewhere, not a shortcut, or a start-up shortcut: kept.
      {"C:\\Users\\Public\\Desktopx\\Brevane.lnk", false},
      {"C:\\Users\\Public\\Brevane.lnk", false},
      {"C:\\Windows\\explorer.lnk", false},
      {"D:\\Other\\tool.lnk", false},
      {"C:\\Users\\Public\\Desktop\\notes.txt", false},
      {"C:\\Users\\Public\\Desktop", false},
      {"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\agent.lnk", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsDeletableLink(c.path, shortcuts, startup), c.deletable) << c.path;
  // A line that climbs out of the desktop is judged on its canonical text.
  char canonical[kPathCapacity];
  ASSERT_TRUE(NormalizeFullPath("C:\\Users\\Public\\Desktop\\..\\..\\ann\\x.lnk", canonical,
                                sizeof canonical));
  EXPECT_FALSE(IsDeletableLink(canonical, shortcuts, startup));
}
