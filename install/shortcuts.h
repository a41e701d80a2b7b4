// Installation steps: shortcuts, the uninstaller copy, "linkfiles", "install.txt".
#pragma once

// The whole step on InstallSettings, with the all-users desktop and start
// menu. Runs on the job thread inside its COM apartment.
void InstallShortcuts();

// The same step with the two shell folders given (each may be empty when the
// shell could not resolve it; its shortcuts are then not made). Tests pass
// folders of their own.
void InstallShortcutsInto(const char* desktopFolder, const char* startMenuFolder);

// Makes one shortcut in folder to InstallDir + targetName, with the arguments
// (null: the arguments could not be built, so the shortcut is not made) and
// InstallDir as working folder. linkName is cleaned into a safe file name.
// folder holds at least 260 bytes; afterwards it holds the full path of the
// ".lnk" file, or is empty when no path could be built. True when saved.
bool CreateShortcut(char* folder, const char* targetName, const char* arguments,
                    const char* linkName);

struct IUnknown;
struct _GUID;
// Creates a COM object in or out of process; null on failure. The caller
// releases it.
IUnknown* CreateComObject(const _GUID& classId);
