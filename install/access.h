// Folder rights: full, inherited access for a named account.
#pragma once

// Adds the grant to the object's access list; true when the new list was stored.
bool GrantFolderRights(const char* path, const char* trustee);
// "Users" on InstallDir (which ends with a backslash), only
// when neither it nor any folder of its path is a link. True when stored.
bool GrantUsersOnInstallDir();
