// The window class, the hidden progress window and its window procedure.
#include "app/window.h"

#include "app/job.h"

HWND ProgressWindow;
RECT PaintRect;

static const char kClassName[] = "CN";
static const char kWindowTitle[] = "Brevane Downloader";
enum { kWindowWidth = 340, kWindowHeight = 100, kWindowTop = 10 };

static LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      PaintStatus(window);
      break;
    case WM_DESTROY:
      ShutdownTransfer();
      PostQuitMessage(0);
      break;
  }
  // Every message, these two included, also goes to the default procedure
  // (which validates the window after a paint).
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateProgressWindow(HINSTANCE instance) {
  WNDCLASSA windowClass = {};
  windowClass.style = 0;
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  // Brush value 1: the system colour COLOR_SCROLLBAR + 1.
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  windowClass.lpszClassName = kClassName;
  RegisterClassA(&windowClass);  // result ignored: creation fails visibly instead

  SetRect(&PaintRect, 0, 0, kWindowWidth, kWindowHeight);

  // WS_OVERLAPPEDWINDOW (0xCF0000): movable, sizable, can be minimised and
  // closed. Created hidden; RunInstaller shows it once the session is up.
  ProgressWindow = CreateWindowExA(0, kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW,
                                   CW_USEDEFAULT, kWindowTop, kWindowWidth, kWindowHeight,
                                   nullptr, nullptr, instance, nullptr);
  return ProgressWindow;
}
