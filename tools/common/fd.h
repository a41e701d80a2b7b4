// File descriptors for the server tools: one owner that closes, and reads
// and writes that retry on EINTR.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace tools {

// Owns a descriptor and closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);
  // Closes now and says whether the close succeeded: on some file systems a
  // failed write shows only here.
  bool CloseChecked();

 private:
  int fd_ = -1;
};

// Writes all of count bytes; false on any failure (errno set).
bool WriteAll(int fd, const void* data, size_t count);

// One read(), retried on EINTR.
ssize_t ReadSome(int fd, void* data, size_t count);

}  // namespace tools
