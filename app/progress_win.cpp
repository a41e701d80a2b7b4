// Window edge of the progress display: repaint requests and painting.
#include "app/progress.h"

#include <windows.h>

#include "app/window.h"

uint32_t CurrentTick() { return GetTickCount(); }

void RequestRepaint() { PostMessageA(ProgressWindow, WM_PAINT, 0, 0); }

static HDC PaintDC;  // obtained once and kept for the life of the process

void PaintStatus(HWND window) {
  if (PaintDC == nullptr) {
    PaintDC = GetDC(window);
    SelectObject(PaintDC, GetStockObject(ANSI_VAR_FONT));
  }
  RECT client;
  GetClientRect(window, &client);
  FillRect(PaintDC, &PaintRect, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  DrawTextA(PaintDC, StatusText(), -1, &client, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}
