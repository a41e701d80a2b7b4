// The steps of GrantFolderRights, for callers that inspect the result before
// it is stored (the stored list cannot be read back on every system).
#pragma once

#include <windows.h>
#include <aclapi.h>

// Zeroes the record and fills it: trustee by name, GENERIC_ALL, granted and
// merged with what the trustee already has, inherited by subfolders and files.
void BuildGrantRecord(EXPLICIT_ACCESS_A* record, const char* trustee);

// Reads the object's discretionary list and merges the grant into it. The new
// list (free it with LocalFree) or null when the object has no list, cannot be
// read, or the trustee is unknown.
PACL MergedFolderList(const char* path, const char* trustee);
