// Log file edge for the native build: O_APPEND write per line.
#include "tinylib/diaglog.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

void DiagLogAppend(const char* line, int length) {
  const char* path = getenv("PELLINOR_LOG");
  if (path == nullptr || *path == 0) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, static_cast<size_t>(length));
  (void)ignored;
  close(fd);
}
