// Installation steps, folder rights and uninstall against the real shell,
// security and file-system APIs. Shortcuts go to scratch folders given in
// place of the all-users desktop and start menu.
#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/run_control.h"
#include "config/settings.h"
#include "install/access.h"
#include "install/access_win.h"
#include "install/shortcuts.h"
#include "install/folder_guard_win.h"
#include "install/uninstall.h"
#include "runtime/outcome.h"
#include "tinylib/folders.h"
#include "tinylib/plain_path.h"
#include "tinylib/text.h"
#include "transfer/transfer_buffers.h"

namespace {

using testfiles::RemoveTree;

std::string NewScratch(const char* tag) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  static int serial = 0;
  char name[96];
  wsprintfA(name, "pellinor-%s-%lu-%d\\", tag, GetCurrentProcessId(), ++serial);
  std::string path = std::string(temp) + name;
  CreateDirectoryA(path.c_str(), nullptr);
  return path;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// Removes a scratch tree (tests leave nothing in the prefix).

struct LinkInfo {
  bool loaded = false;
  std::string target, arguments, workingFolder;
};

// Reads a .lnk back through the shell, as Explorer would.
LinkInfo ReadLink(const std::string& path) {
  LinkInfo info;
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return info;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    if (SUCCEEDED(file->Load(wide, STGM_READ))) {
      char text[1024];
      info.loaded = true;
      if (SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, 0))) info.target = text;
      if (SUCCEEDED(link->GetArguments(text, sizeof text))) info.arguments = text;
      if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH))) info.workingFolder = text;
    }
    file->Release();
  }
  link->Release();
  return info;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}

std::string OwnPath() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

class InstallSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    ResetInstallSettings();
    install_ = NewScratch("dir");
    desktop_ = NewScratch("desktop");
    menu_ = NewScratch("menu");
    PutText(InstallSettings.InstallDir, install_.c_str());
    PutText(InstallSettings.HostName, "server1");
    InstallSettings.Port = 7000;
    own_ = OwnPath();
    PutText(ownCopy_, own_.c_str());
    ArgTable[0] = ownCopy_;
    ArgCount = 1;
    WriteAll(install_ + "Lumaris.exe", "client");  // shortcuts point only at what is installed
    ResetRunOutcome();
  }
  void TearDown() override {
    RemoveTree(install_);
    RemoveTree(desktop_);
    RemoveTree(menu_);
    ResetInstallSettings();
    ResetRunOutcome();
    CoUninitialize();
  }
  // The names in the install folder, sorted.
  std::vector<std::string> InstallFolderNames() {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((install_ + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name = found.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string install_, desktop_, menu_, own_;
  char ownCopy_[MAX_PATH];
};

TEST_F(InstallSteps, ShortcutReadsBackWithTargetArgumentsAndWorkingFolder) {
  char folder[kPathCapacity];
  PutText(folder, desktop_.c_str());
  ASSERT_TRUE(CreateShortcut(folder, "Lumaris.exe", "/SXCO /HOST:server1:7000", "Brevane Client"));
  EXPECT_EQ(std::string(folder), desktop_ + "Brevane Client.lnk");

  LinkInfo link = ReadLink(folder);
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(link.target, install_ + "Lumaris.exe");
  EXPECT_EQ(link.arguments, "/SXCO /HOST:server1:7000");
  EXPECT_EQ(link.workingFolder, install_.substr(0, install_.size() - 1));
}

TEST_F(InstallSteps, InstallWritesThreeShortcutsListCopyAndLaunchLine) {
  PutText(InstallSettings.LaunchLine, "LiNk");
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());

  std::string desk = desktop_ + "Brevane Client.lnk";
  std::string client = menu_ + "Brevane\\Brevane Client.lnk";
  std::string uninstall = menu_ + "Brevane\\Uninstall Brevane Client.lnk";
  std::vector<std::string> lines = Lines(ReadAll(install_ + "linkfiles"));
  EXPECT_EQ(lines, (std::vector<std::string>{desk, client, uninstall}));
  EXPECT_STREQ(InstallSettings.LaunchLine, desk.c_str());

  for (const std::string& path : {desk, client}) {
    LinkInfo link = ReadLink(path);
    ASSERT_TRUE(link.loaded) << path;
    EXPECT_EQ(link.target, install_ + "Lumaris.exe");
    EXPECT_EQ(link.arguments, "/SXCO /HOST:server1:7000");
  }
  LinkInfo link = ReadLink(uninstall);
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(link.target, install_ + "Pellinor.exe");
  EXPECT_EQ(link.arguments, "uninstall");

  std::string copy = ReadAll(install_ + "Pellinor.exe");
  EXPECT_FALSE(copy.empty());
  EXPECT_TRUE(copy == ReadAll(own_)) << "the self-copy differs from the program";
  EXPECT_FALSE(Exists(install_ + "install.txt"));
}

// A shortcut to a client that is not installed would start nothing: none is
// made (a folder of its name is no client), and the marker opens nothing.
TEST_F(InstallSteps, NoShortcutToAClientThatIsNotInstalled) {
  for (bool folderInTheWay : {false, true}) {
    DeleteFileA((install_ + "Lumaris.exe").c_str());
    if (folderInTheWay) ASSERT_TRUE(CreateDirectoryA((install_ + "Lumaris.exe").c_str(), nullptr));
    PutText(InstallSettings.LaunchLine, "link");
    InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
    std::vector<std::string> lines = Lines(ReadAll(install_ + "linkfiles"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_FALSE(Exists(lines[0])) << folderInTheWay;
    EXPECT_FALSE(Exists(lines[1])) << folderInTheWay;
    EXPECT_TRUE(ReadLink(lines[2]).loaded) << "the uninstaller is there";
    EXPECT_STREQ(InstallSettings.LaunchLine, "");
    EXPECT_EQ(RunExitCode(), kExitSuccess);
  }
}

// The uninstaller copy goes in whole or not at all: when it cannot be put in
// place the run fails, no temporary copy is left, the earlier copy stays,
// and no shortcut or link list is made.
TEST_F(InstallSteps, AnUninstallerThatCannotBePutInPlaceFailsTheRun) {
  ASSERT_TRUE(CreateDirectoryA((install_ + "Pellinor.exe").c_str(), nullptr));  // in the way
  PutText(InstallSettings.LaunchLine, "link");
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  EXPECT_EQ(RunExitCode(), kExitInstallFailed);
  EXPECT_EQ(InstallFolderNames(), (std::vector<std::string>{"Lumaris.exe", "Pellinor.exe"}));
  EXPECT_FALSE(Exists(desktop_ + "Brevane Client.lnk"));
  EXPECT_FALSE(Exists(menu_ + "Brevane"));
  EXPECT_STREQ(InstallSettings.LaunchLine, "link");

  // An earlier copy is replaced whole by a good one.
  ResetRunOutcome();
  RemoveDirectoryA((install_ + "Pellinor.exe").c_str());
  WriteAll(install_ + "Pellinor.exe", "an earlier uninstaller");
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  EXPECT_EQ(RunExitCode(), kExitSuccess);
  EXPECT_TRUE(ReadAll(install_ + "Pellinor.exe") == ReadAll(own_));
  EXPECT_EQ(InstallFolderNames(), (std::vector<std::string>{"Lumaris.exe", "Pellinor.exe", "linkfiles"}));
}

TEST_F(InstallSteps, LaunchLineReplacedOnlyWhenItIsTheMarker) {
  for (const char* kept : {"links", "link now", "", "C:\\x.exe"}) {
    PutText(InstallSettings.LaunchLine, kept);
    InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
    EXPECT_STREQ(InstallSettings.LaunchLine, kept);
  }
}

TEST_F(InstallSteps, ErpModeWritesTheLanguageFile) {
  InstallSettings.ErpMode = 1;
  PutText(InstallSettings.Language, "EN");
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  EXPECT_EQ(ReadAll(install_ + "install.txt"), "LANGUAGE=EN\r\n");
  EXPECT_EQ(ReadLink(desktop_ + "Brevane Client.lnk").arguments, "/XEXTUI");

  // A second run replaces the file, and the list keeps three lines.
  InstallSettings.Language[0] = 0;
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  EXPECT_EQ(ReadAll(install_ + "install.txt"), "LANGUAGE=\r\n");
  EXPECT_EQ(Lines(ReadAll(install_ + "linkfiles")).size(), 3u);
}

TEST_F(InstallSteps, HostileDisplayNameStaysInsideItsFolders) {
  PutText(InstallSettings.DisplayName, "..\\..\\x:y*\"evil\"/<|>");
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  std::vector<std::string> lines = Lines(ReadAll(install_ + "linkfiles"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], desktop_ + ".._.._x_y__evil_____.lnk");
  EXPECT_EQ(lines[1], menu_ + "Brevane\\.._.._x_y__evil_____.lnk");
  EXPECT_EQ(lines[2], menu_ + "Brevane\\Uninstall .._.._x_y__evil_____.lnk");
  for (const std::string& line : lines) EXPECT_TRUE(ReadLink(line).loaded) << line;
}

TEST_F(InstallSteps, UnresolvedFoldersGiveEmptyLinesAndNoLaunch) {
  PutText(InstallSettings.LaunchLine, "link");
  InstallShortcutsInto("", menu_.c_str());
  std::vector<std::string> lines = Lines(ReadAll(install_ + "linkfiles"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "");
  EXPECT_TRUE(ReadLink(lines[1]).loaded);
  EXPECT_STREQ(InstallSettings.LaunchLine, "");

  InstallShortcutsInto(desktop_.c_str(), "");
  lines = Lines(ReadAll(install_ + "linkfiles"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "");
  EXPECT_TRUE(Exists(install_ + "Pellinor.exe"));
}

TEST_F(InstallSteps, TooLongClientArgumentsMakeNoClientShortcut) {
  PutText(InstallSettings.HostName, std::string(250, 'h').c_str());
  InstallShortcutsInto(desktop_.c_str(), menu_.c_str());
  std::vector<std::string> lines = Lines(ReadAll(install_ + "linkfiles"));
  ASSERT_EQ(lines.size(), 3u);
  // The paths are still recorded; only the uninstall shortcut exists.
  EXPECT_EQ(lines[0], desktop_ + "Brevane Client.lnk");
  EXPECT_FALSE(Exists(lines[0]));
  EXPECT_FALSE(Exists(lines[1]));
  EXPECT_TRUE(ReadLink(lines[2]).loaded);
}

// ---- Folder rights ----

bool HasUsersEntry(PACL list, ACCESS_ALLOWED_ACE** found) {
  for (DWORD i = 0; i < list->AceCount; i++) {
    void* ace = nullptr;
    if (!GetAce(list, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    char name[256], domain[256];
    DWORD nameLength = sizeof name, domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, &allowed->SidStart, name, &nameLength, domain, &domainLength, &use) &&
        EqualNoCase(name, "Users")) {
      *found = allowed;
      return true;
    }
  }
  return false;
}

TEST(FolderRights, GrantRecordIsFullInheritedAccessByName) {
  EXPLICIT_ACCESS_A record;
  memset(&record, 0x5A, sizeof record);
  BuildGrantRecord(&record, "Users");
  EXPECT_EQ(record.grfAccessPermissions, static_cast<DWORD>(GENERIC_ALL));
  EXPECT_EQ(record.grfAccessMode, GRANT_ACCESS);
  EXPECT_EQ(record.grfInheritance, static_cast<DWORD>(SUB_CONTAINERS_AND_OBJECTS_INHERIT));
  EXPECT_EQ(record.Trustee.TrusteeForm, TRUSTEE_IS_NAME);
  EXPECT_STREQ(record.Trustee.ptstrName, "Users");
  EXPECT_EQ(record.Trustee.pMultipleTrustee, nullptr);
  EXPECT_EQ(record.Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
}

TEST(FolderRights, MergedListHoldsAnInheritedUsersEntry) {
  std::string folder = NewScratch("rights");
  std::string path = folder.substr(0, folder.size() - 1);
  PACL list = MergedFolderList(path.c_str(), "Users");
  ASSERT_NE(list, nullptr);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  EXPECT_TRUE(HasUsersEntry(list, &ace));
  if (ace != nullptr) {
    EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_NE(ace->Mask & (GENERIC_ALL | FILE_ALL_ACCESS), 0u);
  }
  LocalFree(list);
  EXPECT_TRUE(GrantFolderRights(path.c_str(), "Users"));
  RemoveTree(folder);
}

TEST(FolderRights, MissingFolderAndUnknownAccountAreRefused) {
  std::string folder = NewScratch("rights");
  std::string path = folder.substr(0, folder.size() - 1);
  EXPECT_EQ(MergedFolderList((path + "\\missing").c_str(), "Users"), nullptr);
  EXPECT_FALSE(GrantFolderRights((path + "\\missing").c_str(), "Users"));
  EXPECT_EQ(MergedFolderList(path.c_str(), "NoSuchAccount-7f3a"), nullptr);
  EXPECT_FALSE(GrantFolderRights(path.c_str(), "NoSuchAccount-7f3a"));
  RemoveTree(folder);
}

TEST(FolderRights, InstallDirGetsItsBackslashBack) {
  std::string folder = NewScratch("rights");
  for (const std::string& dir : {folder, folder + "gone\\"}) {
    ResetInstallSettings();
    PutText(InstallSettings.InstallDir, dir.c_str());
    GrantUsersOnInstallDir();
    EXPECT_EQ(std::string(InstallSettings.InstallDir), dir);
  }
  ResetInstallSettings();
  RemoveTree(folder);
}

// The grant goes to no folder a link leads to. Z:\bin and Z:\lib are links
// on the test machines (merged /usr), which Wine shows as junctions; the
// test is skipped where they are not.
TEST(FolderRights, NotThroughALinkInThePath) {
  if (PathKindAt("Z:\\bin") != kPathLink) GTEST_SKIP() << "Z:\\bin is no link here";
  for (const char* dir : {"Z:\\bin\\", "Z:\\lib\\x86_64-linux-gnu\\"}) {
    ResetInstallSettings();
    PutText(InstallSettings.InstallDir, dir);
    EXPECT_FALSE(GrantUsersOnInstallDir()) << dir;
    EXPECT_EQ(std::string(InstallSettings.InstallDir), dir);
  }
  std::string folder = NewScratch("rights");
  ResetInstallSettings();
  PutText(InstallSettings.InstallDir, folder.c_str());
  EXPECT_TRUE(GrantUsersOnInstallDir()) << "a plain path";
  ResetInstallSettings();
  RemoveTree(folder);
}

// ---- Uninstall, second run ----

class RemoveInstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    buffer_.assign(kTransferBufferSize, 0);
    savedBuffer_ = WorkBuffer;
    WorkBuffer = buffer_.data();
    install_ = NewScratch("installed");
    links_ = NewScratch("links");
    GetCurrentDirectoryA(sizeof savedDirectory_, savedDirectory_);
  }
  void TearDown() override {
    SetCurrentDirectoryA(savedDirectory_);
    WorkBuffer = savedBuffer_;
    RemoveTree(install_);
    RemoveTree(links_);
  }
  RemovalReport Remove(std::string folder) {
    char text[kPathCapacity];
    PutText(text, folder.c_str());
    return RemoveInstallation(text);
  }
  std::vector<char> buffer_;
  char* savedBuffer_;
  char savedDirectory_[MAX_PATH];
  std::string install_, links_;
};

TEST_F(RemoveInstallationTest, DeletesListedShortcutsFilesAndFolder) {
  // Shortcuts are deleted only inside the desktops and start menus.
  char desktop[kPathCapacity + 2];
  SpecialFolderPath(desktop, CSIDL_COMMON_DESKTOPDIRECTORY);
  ASSERT_NE(desktop[0], 0);
  char stamp[32];
  wsprintfA(stamp, "pellinor-%lu-", GetCurrentProcessId());
  const std::string shown = std::string(desktop) + stamp;
  WriteAll(shown + "a.lnk", "x");
  WriteAll(shown + "b.LNK", "x");
  WriteAll(shown + "keep.txt", "x");
  WriteAll(links_ + "elsewhere.lnk", "x");
  WriteAll(install_ + "linkfiles", shown + "a.lnk\r\n\r\nab\r\n" + shown + "keep.txt\r\n" + shown +
                                       "b.LNK\r\n" + links_ + "elsewhere.lnk\r\n" + shown +
                                       "missing.lnk");
  WriteAll(install_ + "Lumaris.exe", "client");
  WriteAll(install_ + "Pellinor.exe", "me");
  // Run from inside the folder, as the uninstall shortcut's working folder is.
  SetCurrentDirectoryA(install_.c_str());

  RemovalReport r = Remove(install_.substr(0, install_.size() - 1));  // no backslash
  EXPECT_FALSE(r.Refused);
  EXPECT_EQ(r.LinksDeleted, 2);
  EXPECT_EQ(r.FilesDeleted, 3);
  EXPECT_EQ(r.FilesLeft, 0);
  EXPECT_TRUE(r.FolderRemoved);
  EXPECT_FALSE(Exists(install_));
  EXPECT_FALSE(Exists(shown + "a.lnk"));
  EXPECT_FALSE(Exists(shown + "b.LNK"));
  EXPECT_TRUE(Exists(shown + "keep.txt"));
  EXPECT_TRUE(Exists(links_ + "elsewhere.lnk"));
  DeleteFileA((shown + "keep.txt").c_str());
}

TEST_F(RemoveInstallationTest, SubfoldersStayAndSoDoesTheFolder) {
  WriteAll(install_ + "linkfiles", "");
  WriteAll(install_ + "top.dll", "x");
  CreateDirectoryA((install_ + "EN").c_str(), nullptr);
  WriteAll(install_ + "EN\\help.txt", "x");
  RemovalReport r = Remove(install_);
  EXPECT_FALSE(r.Refused);
  EXPECT_EQ(r.FilesDeleted, 2);
  EXPECT_FALSE(r.FolderRemoved);
  EXPECT_FALSE(Exists(install_ + "top.dll"));
  EXPECT_TRUE(Exists(install_ + "EN\\help.txt"));
}

TEST_F(RemoveInstallationTest, FolderWithoutLinkListIsLeftAlone) {
  WriteAll(install_ + "data.txt", "x");
  CreateDirectoryA((install_ + "linkfiles").c_str(), nullptr);  // a folder is no list
  RemovalReport r = Remove(install_);
  EXPECT_TRUE(r.Refused);
  EXPECT_TRUE(Exists(install_ + "data.txt"));

  r = Remove(install_ + "gone\\");
  EXPECT_TRUE(r.Refused);
  r = Remove("");
  EXPECT_TRUE(r.Refused);

  // Without room for its backslash the folder is refused, not overrun.
  std::string longFolder = "C:\\" + std::string(256, 'l');
  r = Remove(longFolder);
  EXPECT_TRUE(r.Refused);
}

}  // namespace

namespace {

// ---- Uninstall, first run: refusals that must start nothing ----

TEST(RelaunchFromTemp, RefusesPathsWithoutFolderOrTooLong) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string copy = std::string(temp) + "Pellinor.exe";
  DeleteFileA(copy.c_str());
  std::string tooLong = "C:\\" + std::string(240, 'd') + "\\Pellinor.exe";  // folder fits, command does not
  for (const std::string& own : {std::string("Pellinor.exe"), std::string("\\Pellinor.exe"), tooLong}) {
    EXPECT_FALSE(RelaunchFromTemp(own.c_str())) << own;
    EXPECT_FALSE(Exists(copy)) << own << ": copied although refused";
  }
  EXPECT_FALSE(RelaunchFromTemp(nullptr));
}

}  // namespace

namespace {

// ---- Folder guard against the real file system and shell ----

std::string Canonical(const std::string& path) {
  char out[kPathCapacity];
  return CanonicalPath(path.c_str(), out, sizeof out) ? std::string(out) : std::string("<none>");
}

std::string ShellFolder(int csidl) {
  char path[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT, path)))
    return std::string();
  return path;
}

TEST(FolderGuardWin, CanonicalPathExpandsShortNamesRelativePathsAndMissingTails) {
  std::string scratch = NewScratch("guard");
  std::string longFolder = scratch + "Long Folder Name";
  ASSERT_TRUE(CreateDirectoryA(longFolder.c_str(), nullptr));
  std::string expected = Canonical(longFolder);
  ASSERT_NE(expected, "<none>");

  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(longFolder.c_str(), shortName, sizeof shortName), 0u);
  EXPECT_NE(std::string(shortName), longFolder) << "no 8.3 name to test with";
  EXPECT_EQ(Canonical(shortName), expected);
  EXPECT_EQ(Canonical(std::string(shortName) + "\\\\missing\\.\\deeper\\"),
            expected + "\\missing\\deeper");
  EXPECT_EQ(Canonical("\\\\?\\" + std::string(shortName)), expected);
  EXPECT_EQ(Canonical(longFolder + "\\sub\\..\\..\\Long Folder Name\\\\"), expected);

  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  SetCurrentDirectoryA(longFolder.c_str());
  EXPECT_EQ(Canonical("x\\..\\new"), expected + "\\new");
  SetCurrentDirectoryA(saved);

  EXPECT_EQ(Canonical("\\\\.\\pipe\\x"), "<none>");
  RemoveTree(scratch);
}

TEST(FolderGuardWin, SystemFoldersAndRootsAreRefusedInEverySpelling) {
  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  std::string win = windows;
  std::string winName = win.substr(win.find_last_of('\\') + 1);
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string drive = win.substr(0, 3);
  const std::string refused[] = {
      win,
      win + "\\",
      win + "\\..\\" + winName,
      win + "\\system32",
      "\\\\?\\" + win,
      drive,
      "\\\\?\\" + drive,
      "\\\\.\\" + drive,
      drive.substr(0, 2),
      temp,
      ShellFolder(CSIDL_APPDATA),
      ShellFolder(CSIDL_LOCAL_APPDATA),
      ShellFolder(CSIDL_PROGRAM_FILES),
      ShellFolder(CSIDL_COMMON_APPDATA),
      ShellFolder(CSIDL_PROFILE),
      ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY),
      ShellFolder(CSIDL_COMMON_STARTMENU),
      ShellFolder(CSIDL_PERSONAL),
      "\\\\server\\share\\",
      "\\\\?\\UNC\\server\\share",
      // Inside the Windows folder at any depth, made or not.
      win + "\\twain_32",
      win + "\\Brevane\\New\\Client",
      // A network folder that cannot be opened cannot be judged.
      "\\\\localhost\\apps\\Brevane",
  };
  char out[kPathCapacity];
  for (const std::string& folder : refused) {
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(CheckInstallFolder(folder.c_str(), "test", out, sizeof out), kFolderAllowed) << folder;
    EXPECT_EQ(out[0], 0) << folder;
  }

  std::string programs = ShellFolder(CSIDL_PROGRAM_FILES);
  std::string sub = programs + "\\Brevane\\.\\Client";
  ASSERT_EQ(CheckInstallFolder(sub.c_str(), "test", out, sizeof out), kFolderAllowed);
  EXPECT_TRUE(SamePath(out, (Canonical(programs) + "\\Brevane\\Client\\").c_str())) << out;
}

}  // namespace
