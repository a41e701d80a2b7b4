#include "tools/common/fd.h"

#include <errno.h>
#include <unistd.h>

namespace tools {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool UniqueFd::CloseChecked() {
  int fd = Release();
  return fd >= 0 && close(fd) == 0;
}

bool WriteAll(int fd, const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t ReadSome(int fd, void* data, size_t count) {
  for (;;) {
    ssize_t n = read(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace tools
