// Texts of the installation steps that need no Windows API: the client's
// arguments, shortcut file names and paths, the remote-parameters query and
// reply, the link list read back by the uninstall and its relaunch line.
//
// Every builder here is bounded: it writes at most the capacity it is given
// (terminator included) and reports a text that would not fit instead of
// cutting it, unless its comment says it cuts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/settings.h"

enum {
  // 256 characters of client arguments, target path, query URL.
  kClientArgumentsCapacity = 257,
  kTargetPathCapacity = 257,
  kParamsUrlCapacity = 257,
  // A shortcut's full path: 259 characters (MAX_PATH with its terminator).
  kLinkPathCapacity = 260,
  // A shortcut's name without ".lnk", "Uninstall " included: 63 characters.
  kLinkNameCapacity = 64,
  // Bytes of the remote-parameters reply that are read and stored.
  kParamsReplyCapacity = 10000,
  // Where the reply names the shortcut: the tag at 10, the name from 19.
  kShortcutTagOffset = 10,
  kShortcutTagLength = 8,
  kShortcutNameOffset = 19,
};

// The link list in the install folder (kLinkListName of
// manifest/reserved_names.h): the shortcut paths the uninstall deletes; its
// presence marks a folder as an installation.

// The client's command-line arguments for the settings: SaaS, else on-premises
// ERP, else a plain session host. False, with dst empty, when they would not
// fit in capacity (a cut host name would send the client elsewhere).
bool BuildClientArguments(char* dst, size_t capacity, const InstallSettingsRecord& settings);

// The file name of a shortcut (without ".lnk") for a display name: prefix (may
// be null) + name, with every character that Windows refuses in a file name
// or that would leave the folder ('\' '/' ':' '*' '?' '"' '<' '>' '|' and
// control characters) replaced by '_', and a reserved device name (CON, NUL,
// COM1, ...) given a leading '_'. Cut to capacity - 1 characters; returns
// false when it was cut.
bool MakeLinkFileName(char* dst, size_t capacity, const char* prefix, const char* displayName);

// folder (a '\' added when it lacks one) + fileName + ".lnk". False, with dst
// empty, when the folder is empty (an unresolved shell folder must not turn
// into a path relative to the drive root) or the path would not fit.
bool BuildLinkPath(char* dst, size_t capacity, const char* folder, const char* fileName);

// The folder text without its trailing backslash (the shortcut's working
// folder). False, with dst empty, when it does not fit.
bool FolderWithoutBackslash(char* dst, size_t capacity, const char* folder);

// "http://" + host + "/status/azservice.ashx?op=getparams&code=" + code.
// False, with dst empty, when longer than capacity - 1.
bool BuildParamsUrl(char* dst, size_t capacity, const char* host, const char* code);

enum ShortcutNameResult {
  kNoShortcutName,     // shorter than 19 bytes, or no "SHORTCUT" at offset 10
  kShortcutNameEmpty,  // the tag is there but the name is empty
  kShortcutNameTaken,  // name holds the whole name
  kShortcutNameCut,    // name holds the first capacity - 1 characters
};
// Reads the shortcut name of a remote-parameters reply of length bytes: the
// bytes from offset 19 up to the first CR, zero byte or the end. name is
// written only for the last two results.
ShortcutNameResult ReadShortcutName(const char* reply, int32_t length, char* name,
                                    size_t capacity);

// True for a line of the link list that the uninstall may delete: longer than
// 3 characters, a full path (drive or network) and ending in ".lnk" (ASCII
// case ignored). Anything else in the list (an empty line, a relative name, a
// file the installer never makes) is left alone.
bool IsRecordedLink(const char* line);

// The second uninstall run's command line: the temporary copy and the whole
// "uninstall:<folder>" argument each in double quotes, so that a folder with
// blanks reaches it as one argument. False, with dst empty, when it would not
// fit in capacity, or a part holds a double quote (no Windows path does).
bool BuildRelaunchCommand(char* dst, size_t capacity, const char* copyPath, const char* ownFolder);
