// Looks at windows from outside, as a user or a test would, so the end-to-end
// tests need no window manager:
//   winprobe wait  TITLE MS     wait for a top-level window; print its size
//   winprobe close TITLE        post WM_CLOSE (what the close button does)
//   winprobe ink   TITLE        count client pixels that differ from the fill
//   winprobe box   MS           wait for a message box; print its text
//   winprobe ok                 press OK on the message box
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND FindTopLevel(const char* title) { return FindWindowA(nullptr, title); }

static HWND WaitFor(const char* className, const char* title, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = FindWindowA(className, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(50);
  }
}

static int CountInk(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  HDC dc = GetDC(window);
  COLORREF fill = GetSysColor(COLOR_WINDOW);
  int ink = 0;
  for (int y = client.top; y < client.bottom; y++)
    for (int x = client.left; x < client.right; x++) {
      COLORREF c = GetPixel(dc, x, y);
      if (c != CLR_INVALID && c != fill) ink++;
    }
  ReleaseDC(window, dc);
  return ink;
}

static BOOL CALLBACK AppendStatic(HWND child, LPARAM text) {
  char className[32];
  GetClassNameA(child, className, sizeof className);
  if (_stricmp(className, "Static") == 0) {
    char buf[256];
    if (GetWindowTextA(child, buf, sizeof buf) > 0) strcat(reinterpret_cast<char*>(text), buf);
  }
  return TRUE;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* verb = argv[1];
  if (strcmp(verb, "wait") == 0 && argc >= 4) {
    HWND window = WaitFor(nullptr, argv[2], static_cast<DWORD>(atoi(argv[3])));
    if (window == nullptr) return 1;
    RECT r;
    GetWindowRect(window, &r);
    char className[64];
    GetClassNameA(window, className, sizeof className);
    printf("class=%s width=%ld height=%ld\n", className, r.right - r.left, r.bottom - r.top);
    return 0;
  }
  if (strcmp(verb, "close") == 0 && argc >= 3) {
    HWND window = FindTopLevel(argv[2]);
    if (window == nullptr) return 1;
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 0;
  }
  if (strcmp(verb, "ink") == 0 && argc >= 3) {
    HWND window = FindTopLevel(argv[2]);
    if (window == nullptr) return 1;
    printf("ink=%d\n", CountInk(window));
    return 0;
  }
  if (strcmp(verb, "box") == 0 && argc >= 3) {
    HWND box = WaitFor("#32770", nullptr, static_cast<DWORD>(atoi(argv[2])));
    if (box == nullptr) return 1;
    char text[1024] = "";
    EnumChildWindows(box, AppendStatic, reinterpret_cast<LPARAM>(text));
    char caption[256] = "";
    GetWindowTextA(box, caption, sizeof caption);
    printf("caption=%s\ntext=%s\n", caption, text);
    return 0;
  }
  if (strcmp(verb, "ok") == 0) {
    HWND box = FindWindowA("#32770", nullptr);
    if (box == nullptr) return 1;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
  }
  return 2;
}
