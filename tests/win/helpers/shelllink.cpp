// Shell links from outside, as a user's desktop would use them:
//   shelllink read LNK    print target=, args=, cwd= of the link (IPersistFile::Load)
//   shelllink open LNK    open it with the shell (ShellExecute "open"), no wait
// Exit code 0 on success, 1 on failure.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

static int ReadLink(const char* path) {
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return 1;
  int rc = 1;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
    if (SUCCEEDED(file->Load(wide, STGM_READ))) {
      char text[1024];
      text[0] = 0;
      link->GetPath(text, MAX_PATH, nullptr, 0);
      printf("target=%s\n", text);
      text[0] = 0;
      link->GetArguments(text, sizeof text);
      printf("args=%s\n", text);
      text[0] = 0;
      link->GetWorkingDirectory(text, MAX_PATH);
      printf("cwd=%s\n", text);
      rc = 0;
    }
    file->Release();
  }
  link->Release();
  return rc;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: shelllink read|open LNK\n");
    return 2;
  }
  CoInitialize(nullptr);
  int rc = 2;
  if (strcmp(argv[1], "read") == 0) {
    rc = ReadLink(argv[2]);
  } else if (strcmp(argv[1], "open") == 0) {
    HINSTANCE h = ShellExecuteA(nullptr, "open", argv[2], nullptr, nullptr, SW_SHOWNORMAL);
    rc = reinterpret_cast<INT_PTR>(h) > 32 ? 0 : 1;
    if (rc != 0)
      fprintf(stderr, "ShellExecute %s: %d (error %lu)\n", argv[2],
              static_cast<int>(reinterpret_cast<INT_PTR>(h)), GetLastError());
  }
  CoUninitialize();
  return rc;
}
