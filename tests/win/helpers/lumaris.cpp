// A stand-in for the client "Lumaris.exe" in test releases: writes the
// command line it was started with and its working folder, one per line, to
// the file named by the environment variable LUMARIS_OUT, or to
// "lumaris.out" beside itself, then exits.
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main() {
  char out[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("LUMARIS_OUT", out, sizeof out);
  if (n == 0 || n >= sizeof out) {
    n = GetModuleFileNameA(nullptr, out, sizeof out - 16);
    char* slash = strrchr(out, '\\');
    strcpy(slash != nullptr ? slash + 1 : out, "lumaris.out");
  }
  char folder[MAX_PATH];
  GetCurrentDirectoryA(sizeof folder, folder);
  FILE* f = fopen(out, "ab");
  if (f == nullptr) return 1;
  fprintf(f, "cmdline=%s\r\ncwd=%s\r\n", GetCommandLineA(), folder);
  fclose(f);
  return 0;
}
