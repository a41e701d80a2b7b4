// Which folders may be an install folder, and which recorded shortcuts the
// uninstall may delete. The uninstall deletes every top-level file of its
// folder, so a system folder, a drive or share root, or a profile folder must
// never become one, whichever spelling names it.
//
// This half works on text only: it brings a full path to one canonical form
// and decides on it, given the folders the system knows (gathered by the
// Windows half, folder_guard_win.cpp, through the same canonical form).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tinylib/text.h"  // kPathCapacity

enum { kGuardFolderCapacity = 64 };

// Drops the prefixes that turn off the system's path parsing: "\\?\" and
// "\\.\" (and "\??\") before a drive path, "\\?\UNC\" before a share, which
// becomes "\\". '/' counts as '\'. Any other text after such a prefix (a
// volume, a pipe, a device) is no folder path: false, dst empty. Text
// without a prefix is copied. False too when dst is too small.
bool StripPathPrefix(const char* path, char* dst, size_t capacity);

// The canonical text of a full path: '/' read as '\', repeated separators
// made one (the two leading ones of a share path kept), "." components
// dropped, ".." taking back the component before it (never the drive or the
// share), trailing separators, dots and blanks of components dropped (as the
// system drops them), no trailing separator except in "C:\". The path must be
// full ("X:\..." or "\\server\share..."), without prefix (StripPathPrefix);
// otherwise, or when dst is too small, false with dst empty. dst may be path.
bool NormalizeFullPath(const char* path, char* dst, size_t capacity);

// Canonical paths compared with ASCII case folded.
bool SamePath(const char* a, const char* b);
// True when path lies strictly below folder (both canonical).
bool IsBelowFolder(const char* path, const char* folder);

enum PathRoot { kRootNone, kRootDrive, kRootShare };
// kRootDrive for "X:\", kRootShare for "\\server" and "\\server\share"
// (canonical text).
PathRoot RootOf(const char* canonical);

// A list of canonical folders, kept by the caller.
struct FolderList {
  char Paths[kGuardFolderCapacity][kPathCapacity];
  int32_t Count;
};
void ClearFolders(FolderList* list);
// Adds a canonical folder; empty texts, duplicates and overflow are
// skipped (the list is a bound on gathering, not on safety: roots are judged
// by their text).
void AddFolder(FolderList* list, const char* canonical);

// Adds every folder above a canonical path, its root included
// ("C:\A\B" adds "C:\A" and "C:\").
void AddAncestors(FolderList* list, const char* canonical);

enum FolderVerdict {
  kFolderAllowed,
  kFolderNoFullPath,  // could not be made a canonical full path
  kFolderDriveRoot,
  kFolderShareRoot,
  kFolderKnown,       // exactly one of the system's known folders
  kFolderHoldsKnown,  // a known folder lies below it
  kFolderShortName    // a short 8.3 name in it names no existing folder
};
// The decision on a canonical folder. *which (may be null) is set to the
// index of the known folder that decided, or -1.
FolderVerdict JudgeFolder(const char* canonical, const FolderList& known, int32_t* which);
// True when a component of the text has the form of a generated short name.
// In the part of a folder that does not exist yet such a name cannot be
// resolved: it may be another folder's short name where the install runs
// ("C:\PROGRA~1" where Program Files has another short name), or become one.
bool HoldsShortNameComponent(const char* text);

// Why a verdict refuses, for the log and the message box.
const char* FolderVerdictText(FolderVerdict verdict);

// True when the uninstall may delete a recorded shortcut: its canonical path
// ends in ".lnk" and lies below one of the shortcut folders (desktops, start
// menus) and below none of the excluded ones (the start-up folders, whose
// shortcuts start programs at log-on and are never the installer's).
bool IsDeletableLink(const char* canonical, const FolderList& shortcutFolders,
                     const FolderList& excluded);
