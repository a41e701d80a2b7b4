// Which version of a file a descriptor or a path stands for: the tools
// decide with it whether bytes read still belong to the file they judged.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

namespace tools {

// One version of one file. Any write changes the size or the times (the
// change time moves even when the modification time is set back), and a
// replaced file has another inode, so a changed file never compares equal.
struct FileIdentity {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t mtimeSeconds = 0, mtimeNanos = 0, ctimeSeconds = 0, ctimeNanos = 0;

  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           mtimeSeconds == o.mtimeSeconds && mtimeNanos == o.mtimeNanos &&
           ctimeSeconds == o.ctimeSeconds && ctimeNanos == o.ctimeNanos;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

inline FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity id;
  id.device = static_cast<uint64_t>(info.st_dev);
  id.inode = static_cast<uint64_t>(info.st_ino);
  id.size = static_cast<uint64_t>(info.st_size);
  id.mtimeSeconds = info.st_mtim.tv_sec;
  id.mtimeNanos = info.st_mtim.tv_nsec;
  id.ctimeSeconds = info.st_ctim.tv_sec;
  id.ctimeNanos = info.st_ctim.tv_nsec;
  return id;
}

}  // namespace tools
