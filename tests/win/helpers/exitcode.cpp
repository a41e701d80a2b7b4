// Runs a program and prints its whole 32-bit exit code, which Wine hands to
// Linux only modulo 256:
//   exitcode PROGRAM ARGS...   prints "exit=N"; exits 0, or 2 when the
//                              program could not be started
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  static char command[32768];
  size_t used = 0;
  for (int i = 1; i < argc; i++) {
    size_t n = strlen(argv[i]);
    if (used + n + 4 >= sizeof command) return 2;
    if (i > 1) command[used++] = ' ';
    command[used++] = '"';
    memcpy(command + used, argv[i], n);
    used += n;
    command[used++] = '"';
  }
  command[used] = 0;
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "cannot start %s (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit=%lu\n", code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
