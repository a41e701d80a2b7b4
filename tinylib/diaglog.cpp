// Formats one log line; the platform file appends it.
#include "tinylib/diaglog.h"

#include <stdarg.h>
#include <stdio.h>

// One line at most; longer lines are cut, never overrun.
static const int kLogLineCapacity = 1024;

void DiagLog(const char* format, ...) {
  char line[kLogLineCapacity];
  va_list args;
  va_start(args, format);
#if defined(_WIN32)
  // msvcrt's own formatter: the C99 vsnprintf of MinGW adds about 20 KiB.
  int n = _vsnprintf(line, sizeof line - 3, format, args);
  if (n < 0) n = static_cast<int>(sizeof line) - 3;  // cut: _vsnprintf gives -1
#else
  int n = vsnprintf(line, sizeof line - 2, format, args);
#endif
  va_end(args);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 3) n = static_cast<int>(sizeof line) - 3;
  line[n++] = '\r';
  line[n++] = '\n';
  line[n] = 0;
  DiagLogAppend(line, n);
}
