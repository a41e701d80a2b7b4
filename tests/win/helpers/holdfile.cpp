// Holds a file open as another program would, so that tests can see what the
// installer does with a file it cannot write:
//   holdfile PATH MS         open without any sharing (nobody may write,
//                            rename or delete it) for MS milliseconds
//   holdfile PATH MS image   open as a running program's image is held:
//                            readable and renamable, not writable
// Prints "held" once the file is open; exits 1 when it cannot be opened.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  bool image = argc >= 4 && strcmp(argv[3], "image") == 0;
  DWORD share = image ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  Sleep(static_cast<DWORD>(atoi(argv[2])));
  CloseHandle(file);
  return 0;
}
