// Log file edge for Windows: one WriteFile in append mode per line.
#include "tinylib/diaglog.h"

#include <windows.h>

// Appends from the threads of this process take turns: Wine finds the end
// and writes in two steps, so two threads could write at the same offset
// and lose a line. Nothing else is ever done while this lock is held.
static SRWLOCK LogLock = SRWLOCK_INIT;

void DiagLogAppend(const char* line, int length) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("PELLINOR_LOG", path, sizeof path);
  if (n == 0 || n >= sizeof path) return;  // unset, or too long to be ours
  // FILE_APPEND_DATA alone makes every write land at the end, whole.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  AcquireSRWLockExclusive(&LogLock);
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  ReleaseSRWLockExclusive(&LogLock);
  CloseHandle(file);
}
