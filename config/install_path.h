// Paths below the install folder: the one join of the install folder and a
// name that every writer uses (downloads, shortcuts, the link list, the
// uninstaller copy, the remote parameters).
#pragma once

#include <stddef.h>

#include "config/settings.h"

// installDir, a '\' when it lacks one, and name with every '/' written as
// '\' (folders are made at backslashes only), in the caller's buffer of
// capacity bytes. nullptr, with the buffer emptied, when there is no install
// folder, when the name could lead outside it (see IsSafeRelativeName), or
// when the path would not fit: a cut path would name some other file.
char* InstallPathIn(char* buffer, size_t capacity, const char* installDir, const char* name);
// The same below InstallSettings.InstallDir; capacity defaults to a path's.
char* InstallPath(char* buffer, const char* name, size_t capacity = kPathCapacity);
