// Installation steps: the client and uninstall shortcuts, the uninstaller
// copy, the link list "linkfiles" and, on-premises, "install.txt".
//
// A shortcut that cannot be made is logged and the next step runs; a
// shortcut is never made to a program that is not in the install folder.
// The uninstaller copy comes first and is the one step that fails the run:
// without it the installation cannot be removed, and a failed run makes no
// shortcut and no link list. The link list always gets three lines, one
// per shortcut in a fixed order; a line is empty when no full path could be
// built for its shortcut (unresolved shell folder, path over 259
// characters), since a cut path could name someone else's file for the
// uninstall to delete.
#include "install/shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include "config/install_path.h"
#include "config/settings.h"
#include "install/install_text.h"
#include "manifest/reserved_names.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/folders.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"

namespace {

const char kClientProgram[] = "Lumaris.exe";
const char kUninstallerProgram[] = "Pellinor.exe";
const char kUninstallArguments[] = "uninstall";
const char kUninstallPrefix[] = "Uninstall ";
const char kStartMenuSubfolder[] = "Brevane\\";

// The class and interfaces used, defined here: taking them from libuuid
// links its whole table of identifiers (about 40 KiB).
const GUID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kUnknownInterface = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kShellLinkAInterface = {0x000214EE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kPersistFileInterface = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A shell folder path as SpecialFolderPath writes it: 259 characters, its
// backslash and the terminator.
enum { kShellFolderCapacity = 262 };

// Releases a COM interface on every path out.
template <typename T>
class ComRef {
 public:
  ComRef() : p_(nullptr) {}
  explicit ComRef(T* p) : p_(p) {}
  ~ComRef() { Release(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  void Release() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  void** out() {
    Release();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  T* p_;
};

// Writes the link's target, working folder and arguments and saves it at
// linkPath. Null when saved, else the step that failed. Every reference is
// released on the way out.
const char* SaveShellLink(const char* linkPath, const char* target, const char* workingFolder,
                          const char* arguments) {
  ComRef<IUnknown> object(CreateComObject(kShellLinkClass));
  if (object.get() == nullptr) return "shell-link object";
  {
    ComRef<IShellLinkA> link;
    if (FAILED(object->QueryInterface(kShellLinkAInterface, link.out()))) return "IShellLinkA";
    if (FAILED(link->SetPath(target))) return "target";
    link->SetWorkingDirectory(workingFolder);
    link->SetArguments(arguments);
  }  // the IShellLinkA reference goes; the object lives on through IUnknown

  wchar_t widePath[kLinkPathCapacity];
  // -1: convert the terminator too, so the wide text is terminated.
  if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, kLinkPathCapacity) == 0)
    return "UTF-16 path";
  ComRef<IPersistFile> file;
  if (FAILED(object->QueryInterface(kPersistFileInterface, file.out()))) return "IPersistFile";
  // TRUE: the saved file becomes the object's current file.
  if (FAILED(file->Save(widePath, TRUE))) return "save";
  return nullptr;
}

// Puts this program into the install folder as the uninstaller. It is
// written under a temporary name of its own (GetTempFileName takes a name no
// file has, so no client file is touched), checked for its full length, and
// only then renamed over the copy an earlier install left: a full disk or a
// failed write leaves that copy, or none, never a cut one. False when the
// copy is not in place.
bool CopySelfInto(const char* selfCopy) {
  char own[kPathCapacity];
  DWORD ownLength = GetModuleFileNameA(nullptr, own, sizeof own);
  if (ownLength == 0 || ownLength >= sizeof own) return false;
  if (EqualNoCase(own, selfCopy)) return true;  // run from the copy itself
  char folder[kPathCapacity];
  char temporary[MAX_PATH];
  FolderWithoutBackslash(folder, sizeof folder, InstallSettings.InstallDir);
  if (GetTempFileNameA(folder, "pel", 0, temporary) == 0) {
    DiagLog("install: no temporary file in %s (error %lu)", folder, GetLastError());
    return false;
  }
  const DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  bool copied = CopyFileA(own, temporary, FALSE /* over the empty file just made */) &&
                FileLength(temporary) == FileLength(own) &&
                MoveFileExA(temporary, selfCopy, kReplace);
  if (!copied) {
    DiagLog("install: copying %s to %s failed (error %lu)", own, selfCopy, GetLastError());
    DeleteFileA(temporary);
  }
  return copied;
}

}  // namespace

IUnknown* CreateComObject(const GUID& classId) {
  IUnknown* object = nullptr;
  // No outer object; in or out of process, whichever the class offers.
  HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                kUnknownInterface, reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    DiagLog("com: CoCreateInstance failed (0x%08lx)", static_cast<unsigned long>(hr));
    return nullptr;
  }
  return object;
}

bool CreateShortcut(char* folder, const char* targetName, const char* arguments,
                    const char* linkName) {
  char fileName[kLinkNameCapacity];
  MakeLinkFileName(fileName, sizeof fileName, nullptr, linkName);  // cut to 63

  char linkPath[kLinkPathCapacity];
  if (!BuildLinkPath(linkPath, sizeof linkPath, folder, fileName)) {
    DiagLog("shortcut: no path for \"%s\" in \"%s\"; not made", fileName, folder);
    folder[0] = 0;
    return false;
  }
  PutText(folder, linkPath);

  char target[kTargetPathCapacity];
  char workingFolder[kPathCapacity];
  const char* failed = nullptr;
  if (!InstallPath(target, targetName, sizeof target))
    failed = "target path length";
  else if (arguments == nullptr)
    failed = "arguments";
  else if (FileLength(target) < 0)
    failed = "target not installed";
  if (failed == nullptr) {
    FolderWithoutBackslash(workingFolder, sizeof workingFolder, InstallSettings.InstallDir);
    failed = SaveShellLink(linkPath, target, workingFolder, arguments);
  }
  if (failed != nullptr) {
    DiagLog("shortcut: %s not made (%s)", linkPath, failed);
    return false;
  }
  DiagLog("shortcut: %s -> %s %s", linkPath, target, arguments);
  return true;
}

void InstallShortcutsInto(const char* desktopFolder, const char* startMenuFolder) {
  // First: a failed run makes no shortcut and no link list.
  char selfCopy[kPathCapacity];
  if (!InstallPath(selfCopy, kUninstallerProgram, sizeof selfCopy) || !CopySelfInto(selfCopy)) {
    NoteRunFailure("the uninstaller could not be copied into the install folder");
    return;
  }

  char listPath[kPathCapacity];
  bool listFits = InstallPath(listPath, kLinkListName, sizeof listPath) != nullptr;
  // Create mode: any earlier list is replaced. An unopened list drops its
  // lines (Write fails quietly), which is logged here once.
  TSimpleFile linkList(listFits ? listPath : "", 1);
  if (!linkList.IsOpen()) DiagLog("install: link list %s cannot be created", listPath);

  char arguments[kClientArgumentsCapacity];
  const char* clientArguments = arguments;
  if (!BuildClientArguments(arguments, sizeof arguments, InstallSettings)) {
    DiagLog("install: client arguments too long");
    clientArguments = nullptr;
  }

  char path[kShellFolderCapacity];
  CopyTextCut(path, sizeof path, desktopFolder);
  bool made = CreateShortcut(path, kClientProgram, clientArguments, InstallSettings.DisplayName);
  if (EqualNoCase(InstallSettings.LaunchLine, kLaunchMarker)) {
    if (made) {
      PutText(InstallSettings.LaunchLine, path);
    } else {
      // Opening "link" would look for a file of that name; open nothing.
      InstallSettings.LaunchLine[0] = 0;
      DiagLog("install: no desktop shortcut; nothing will be opened at exit");
    }
  }
  linkList.WriteLine(path);

  char menu[kShellFolderCapacity];
  menu[0] = 0;
  if (startMenuFolder[0] == 0) {
    DiagLog("install: start menu folder unknown");
  } else if (!CopyTextCut(menu, sizeof menu, startMenuFolder) ||
             !AppendTextCut(menu, sizeof menu, kStartMenuSubfolder)) {
    DiagLog("install: start menu folder too long");
    menu[0] = 0;
  } else {
    MakeFolders(menu);
  }

  PutText(path, menu);
  CreateShortcut(path, kClientProgram, clientArguments, InstallSettings.DisplayName);
  linkList.WriteLine(path);


  // "Uninstall " + DisplayName, cut to 63 characters.
  char uninstallName[kLinkNameCapacity];
  MakeLinkFileName(uninstallName, sizeof uninstallName, kUninstallPrefix, InstallSettings.DisplayName);
  PutText(path, menu);
  CreateShortcut(path, kUninstallerProgram, kUninstallArguments, uninstallName);
  linkList.WriteLine(path);

  if (InstallSettings.ErpMode) {
    char languagePath[kPathCapacity];
    if (!InstallPath(languagePath, kLanguageFileName, sizeof languagePath)) {
      DiagLog("install: no %s", kLanguageFileName);
    } else {
      char line[16 + kLanguageCapacity];
      JoinText(line, "LANGUAGE=", InstallSettings.Language);
      TSimpleFile languageFile(languagePath, 1);
      if (!languageFile.IsOpen()) DiagLog("install: %s cannot be created", languagePath);
      languageFile.WriteLine(line);
    }
  }
}

void InstallShortcuts() {
  char desktop[kShellFolderCapacity];
  char startMenu[kShellFolderCapacity];
  SpecialFolderPath(desktop, kCsidlCommonDesktop);
  SpecialFolderPath(startMenu, kCsidlCommonStartMenu);
  InstallShortcutsInto(desktop, startMenu);
}
