// The Windows half of the folder guard: canonical paths from the file system
// and the folders the shell knows.
#pragma once

#include <stddef.h>

#include "install/folder_guard.h"

// The canonical full path of path (no trailing separator except "C:\"):
// prefixes dropped, made full against the current folder, short 8.3
// components of the part that exists replaced by their long names. False,
// dst empty, when no such path exists or it does not fit. *existing (may be
// null) is set to the length of the leading part of dst that exists (the
// rest was not found, so its short names could not be expanded).
bool CanonicalPath(const char* path, char* dst, size_t capacity, int* existing = nullptr);

// The system's known folders (Windows, system, program files in both views,
// program data, profiles, application data, desktops, start menus, documents,
// the temporary folder, ...), each canonical.
void GatherKnownFolders(FolderList* known);
// The desktops and start menus, all-users and per-user; the start-up
// folders inside the start menus go to excluded.
void GatherShortcutFolders(FolderList* shortcuts, FolderList* excluded);

// The decision for an install or uninstall folder: on kFolderAllowed, dst
// holds its canonical path with a trailing backslash. A refusal is logged
// with what ("install", "uninstall") and the folder.
FolderVerdict CheckInstallFolder(const char* folder, const char* what, char* dst,
                                 size_t capacity);
