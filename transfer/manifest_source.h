// Where the manifest text comes from: the first source that gives any of the
// manifest URL (HTTP), else the .ver file beside the program, and when that
// gave exactly nothing, "files.ver" from the session host.
#pragma once

#include <stdint.h>

// The text of one source, in a transfer buffer, with room for the NUL the
// parser stores after it.
struct ManifestText {
  char* Text;      // null when no source gave any
  int32_t Length;  // 0 or more
  bool MayBeCut;   // the read filled the source's limit: the last line may be cut
};

// Reads the manifest from its source.
ManifestText FetchManifestText();

// Fetches the manifest and builds DownloadList from it (ListManifestText
// with the settings of InstallSettings and the file system's up-to-date
// check); registers the manifest's sites.
void BuildDownloadList();

// The program's own path with the extension "ver" in path (260 bytes): only a
// dot in the file name starts an extension, so a name without one gets
// ".ver" appended. False when there is no program path or the result would
// not fit: a cut path names some other file, so nothing is read then.
bool LocalManifestPath(char* path, const char* program);
