// Uninstall: removes the recorded shortcuts, the install folder's files and
// the folder itself.
#pragma once

#include <stdint.h>

// With InstallDir set it removes that installation; without, it relaunches
// a temporary copy of the program on its own folder. A failure (files of the
// installation left, or the removal not started) is noted in the run's
// outcome; the caller ends the process with its exit code.
void Uninstall();

struct RemovalReport {
  bool Refused;          // not an installation folder: nothing was touched
  int32_t LinksDeleted;  // shortcuts of the link list
  int32_t FilesDeleted;  // files of the folder itself
  int32_t FilesLeft;     // files that could not be deleted
  bool FolderRemoved;
};
// The second run's work on folder (a text of up to 259 characters; a missing
// trailing backslash is added in the caller's array). Only a folder that holds
// the link list "linkfiles" is touched. Needs WorkBuffer.
RemovalReport RemoveInstallation(char* folder);

// The first run's work: copies the program to the temporary folder and starts
// that copy on the program's own folder. False when it was not started.
bool RelaunchFromTemp(const char* ownPath);
