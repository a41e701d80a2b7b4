// Rules for names that reach the file system, shared by the installer (served
// names, shortcut names) and the publisher (release names).
#pragma once

// True when the first length characters of part are a device name that
// Windows opens instead of a file in any folder and with any extension
// ("aux.txt" is the device AUX): the text before the first dot, trailing
// blanks trimmed, is CON, PRN, AUX, NUL, CONIN$, CONOUT$, or COM or LPT with
// one digit 0-9 or a superscript 1, 2 or 3 (ASCII case ignored). The widest
// answer any Windows version gives, so that no version opens a device.
bool IsReservedDeviceName(const char* part, int length);

// True when a name from a server is a plain path below the install folder:
// not empty; no leading '\' or '/'; no ':' anywhere (drives, alternate
// streams); no component made only of dots and blanks ("..", and forms that
// Windows trims to it); no control characters or characters that Windows
// refuses in names (<>"|?*); no reserved device name (CON, NUL, COM1, ...)
// as a component, with or without an extension.
bool IsSafeRelativeName(const char* name);
