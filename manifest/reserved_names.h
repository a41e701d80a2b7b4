// Names the installer writes into the install folder itself. A release that
// shipped one of them would overwrite the installer's own records (the link
// list the uninstall deletes from, the staging place of an update), so the
// publisher refuses them and the installer drops them.
#pragma once

// The names themselves, for the modules that write them.
extern const char kLinkListName[];       // "linkfiles": the shortcuts the uninstall deletes
extern const char kLanguageFileName[];   // "install.txt": the on-premises language record
extern const char kParamsFileName[];     // "PARAMS.CFG": the remote parameters
extern const char kStagingFolderName[];  // "Pellinor.staging": the staging place of updates

// True when the top-level component of name (before the first '\' or '/')
// is, with ASCII case folded, "linkfiles", "install.txt", "PARAMS.CFG" or
// "Pellinor.staging" (so anything below that folder too). Trailing dots and
// blanks of the component are ignored, as Windows ignores them when it opens
// a file, and an 8.3 short name with a '~' digit tail ("LINKFI~1") is
// reserved too, since Windows may open a reserved file through it.
// "Pellinor.exe" is not reserved: a release may ship its own uninstaller.
// A null name is reserved.
bool IsReservedInstallName(const char* name);
