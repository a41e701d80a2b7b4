// PLACEHOLDER until folder rights land.
#include "install/access.h"

bool GrantFolderRights(const char*, const char*) { return false; }
void GrantUsersOnInstallDir() {}
