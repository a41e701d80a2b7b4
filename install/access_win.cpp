// Folder rights: grants an account full access to a file-system object,
// inherited by everything below it, on top of the access it already has.
#include "install/access.h"

#include "install/access_win.h"

#include "config/settings.h"
#include "tinylib/diaglog.h"
#include "tinylib/plain_path.h"
#include "tinylib/text.h"

namespace {

// Memory the security functions hand out, freed with LocalFree on every path.
class LocalMemory {
 public:
  explicit LocalMemory(void* p = nullptr) : p_(p) {}
  ~LocalMemory() {
    if (p_ != nullptr) LocalFree(p_);
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

 private:
  void* p_;
};

const char kUsersGroup[] = "Users";

}  // namespace

void BuildGrantRecord(EXPLICIT_ACCESS_A* record, const char* trustee) {
  ZeroMemory(record, sizeof *record);
  // The name is only read; the header declares it writable.
  BuildExplicitAccessWithNameA(record, const_cast<char*>(trustee), GENERIC_ALL, GRANT_ACCESS,
                               SUB_CONTAINERS_AND_OBJECTS_INHERIT);
}

PACL MergedFolderList(const char* path, const char* trustee) {
  PACL oldList = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Only the discretionary list is asked for; owner, group and system list
  // stay untouched (null).
  DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &oldList, nullptr, &descriptor);
  // oldList points into the descriptor, which must outlive the merge.
  LocalMemory descriptorMemory(descriptor);
  if (rc != ERROR_SUCCESS) {
    DiagLog("rights: reading the access list of %s failed (error %lu)", path, rc);
    return nullptr;
  }
  if (oldList == nullptr) {
    DiagLog("rights: %s has no access list (everyone has access); left unchanged", path);
    return nullptr;
  }

  EXPLICIT_ACCESS_A grant;
  BuildGrantRecord(&grant, trustee);
  PACL newList = nullptr;
  rc = SetEntriesInAclA(1, &grant, oldList, &newList);
  if (rc != ERROR_SUCCESS) {
    // Also what an account name that does not exist gives.
    DiagLog("rights: merging access for %s on %s failed (error %lu)", trustee, path, rc);
    if (newList != nullptr) LocalFree(newList);
    return nullptr;
  }
  return newList;
}

bool GrantFolderRights(const char* path, const char* trustee) {
  PACL newList = MergedFolderList(path, trustee);
  if (newList == nullptr) return false;
  LocalMemory listMemory(newList);
  // Exactly DACL_SECURITY_INFORMATION: no protection flag, so the inherited
  // entries of the folder stay as they are.
  DWORD rc = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION, nullptr, nullptr, newList, nullptr);
  if (rc != ERROR_SUCCESS) {
    DiagLog("rights: storing the access list of %s failed (error %lu)", path, rc);
    return false;
  }
  DiagLog("rights: %s has full access to %s", trustee, path);
  return true;
}

bool GrantUsersOnInstallDir() {
  char* dir = InstallSettings.InstallDir;
  int length = TextLength(dir);
  // Every folder of the path, the install folder included, is held plain
  // while the grant is stored: the rights go to no folder a link leads to.
  // The drive's root is the caller's; other forms are checked whole.
  FolderChain folders;
  int root = (length >= 3 && dir[1] == ':' && dir[2] == '\\') ? 3 : 0;
  if (length == 0 || dir[length - 1] != '\\' || !folders.Hold(dir, root, 0)) {
    DiagLog("rights: %s is not a plain folder; no rights granted", dir);
    return false;
  }
  // The security functions want the folder without its trailing backslash;
  // it is put back whatever they answer.
  dir[length - 1] = 0;
  bool granted = GrantFolderRights(dir, kUsersGroup);
  dir[length - 1] = '\\';
  return granted;
}
