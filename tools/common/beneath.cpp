#include "tools/common/beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "tools/common/fd.h"
#include "tools/common/paths.h"

namespace tools {

namespace {

// Cleared once the kernel says it has no openat2 (before 5.6).
std::atomic<bool> g_haveOpenat2{true};

// Refuses what could leave the folder before any lookup, so both ways
// answer alike: an absolute name, or a ".." component.
bool StaysBelow(const char* relative) {
  if (relative[0] == '/' || relative[0] == 0) return false;
  for (const char* p = relative; *p;) {
    const char* end = strchr(p, '/');
    size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
    if (length == 2 && p[0] == '.' && p[1] == '.') return false;
    if (!end) break;
    p = end + 1;
  }
  return true;
}

// With O_DIRECTORY a link last in the name shows as "not a folder"; say
// what it is (errno ELOOP), so that callers tell links from files.
void ExplainNotFolder(int at, const char* name) {
  struct stat info;
  bool link = fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
  errno = link ? ELOOP : ENOTDIR;
}

}  // namespace

int OpenRoot(const std::string& folder, std::string* canonical) {
  UniqueFd opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) return -1;
  // The path of what was opened, not of what the name names by now.
  *canonical = CanonicalPath("/proc/self/fd/" + std::to_string(opened.get()));
  if (canonical->empty()) *canonical = CanonicalPath(folder);
  if (canonical->empty()) return -1;
  return opened.Release();
}

int OpenBeneathByWalk(int folderFd, const char* relative, int flags) {
  if (!StaysBelow(relative)) {
    errno = EXDEV;
    return -1;
  }
  std::string rest(relative);
  int at = folderFd;
  UniqueFd held;  // the folder reached so far, below the start
  size_t start = 0;
  for (;;) {
    size_t slash = rest.find('/', start);
    bool last = slash == std::string::npos;
    std::string part = rest.substr(start, last ? std::string::npos : slash - start);
    start = last ? rest.size() : slash + 1;
    if (!last && (part.empty() || part == ".")) continue;
    // O_PATH needs only search permission on a folder passed through, as a
    // lookup does.
    int fd = last ? openat(at, part.empty() ? "." : part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC)
                  : openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOTDIR) ExplainNotFolder(at, part.c_str());
    if (fd < 0 || last) return fd;
    held.Reset(fd);
    at = held.get();
  }
}

int OpenBeneath(int folderFd, const char* relative, int flags) {
  if (!StaysBelow(relative)) {
    errno = EXDEV;
    return -1;
  }
  if (g_haveOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    // EAGAIN: a rename raced the lookup (or a lease holds the file, so the
    // tries are bounded).
    for (int tries = 0;; tries++) {
      long fd = syscall(SYS_openat2, folderFd, relative, &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EINTR || (errno == EAGAIN && tries < 8)) continue;
      if (errno == ENOTDIR) ExplainNotFolder(folderFd, relative);
      if (errno != ENOSYS) return -1;
      g_haveOpenat2.store(false, std::memory_order_relaxed);
      break;
    }
  }
  return OpenBeneathByWalk(folderFd, relative, flags);
}

}  // namespace tools
