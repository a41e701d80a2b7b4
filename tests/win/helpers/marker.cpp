// Stands in for the program a finished (or abandoned) install launches:
// writes its own command line into the file named by its first argument,
// so a test can tell that it was started and with what.
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = fopen(argv[1], "wb");
  if (f == nullptr) return 1;
  fprintf(f, "%s\r\n", GetCommandLineA());
  fclose(f);
  return 0;
}
