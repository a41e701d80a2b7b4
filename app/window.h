// The progress window: class "CN", title "Brevane Downloader", 340 x 100.
#pragma once

#include <windows.h>

extern HWND ProgressWindow;
extern RECT PaintRect;  // the area cleared before each drawing

// Registers the class and creates the window hidden. Returns the handle
// (null when Windows refused; the caller carries on as the system allows).
HWND CreateProgressWindow(HINSTANCE instance);
void PaintStatus(HWND window);
