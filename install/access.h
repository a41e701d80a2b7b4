// Folder rights: full, inherited access for a named account.
#pragma once

// Adds the grant to the object's access list; true when the new list was stored.
bool GrantFolderRights(const char* path, const char* trustee);
// "Users" on InstallDir (its trailing backslash restored on every path).
void GrantUsersOnInstallDir();
