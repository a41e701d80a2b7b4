// A stand-in for the client "Lumaris.exe" in test releases: writes the
// command line it was started with and its working folder, one per line, to
// the file named by the environment variable LUMARIS_OUT, or to
// "lumaris.out" beside itself, then exits (after LUMARIS_STAY_MS
// milliseconds when that is set, so that tests can update a running client).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
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
  char stay[16];
  n = GetEnvironmentVariableA("LUMARIS_STAY_MS", stay, sizeof stay);
  if (n > 0 && n < sizeof stay) Sleep(static_cast<DWORD>(atoi(stay)));
  return 0;
}
