// Where the manifest text comes from: the first source that gives any of the
// manifest URL (HTTP), else the .ver file beside the program, and when that
// gave exactly nothing, "files.ver" from the session host. A .ver file that
// exists but cannot be read is a failed source: the session is not asked.
// Each is read whole, up to kManifestSizeLimit, so whatever ends a text is
// its end; with a compiled-in release key, its signature "files.ver.sig"
// comes from the same source.
#pragma once

#include <stdint.h>

enum ManifestSource { kManifestFromNowhere, kManifestFromHttp, kManifestFromFile,
                      kManifestFromSession };

// The text of one source, in a block allocated for it (FreeManifestText),
// with room for the NUL the parser stores after it.
struct ManifestText {
  char* Text;      // null when no source gave any
  int32_t Length;  // 0 or more
  bool TooLarge;   // the source holds more than kManifestSizeLimit: refused
  bool ReadFailed; // the source broke off before the end, or cannot be read
  ManifestSource Source;
};

// Reads the manifest from its source.
ManifestText FetchManifestText();
void FreeManifestText(ManifestText* text);

// Fetches the manifest and, with a compiled-in key, its signature; refuses
// (nothing listed, the run failed, the reason logged) a release that is not
// acceptable, or a manifest over the size bound; otherwise builds
// DownloadList from it (ListManifestText with the settings of
// InstallSettings and the file system's up-to-date check) and registers the
// manifest's sites. The text is released afterwards.
struct ListedManifest {
  // Some source gave manifest text: an empty list then means "up to date",
  // without one it means "no list".
  bool Found;
  // The serial of the signed release accepted; 0 when none (keyless build,
  // or nothing accepted). The commit remembers it.
  uint32_t AcceptedSerial;
  // Where the text came from and its SHA-256 (valid when Found): the
  // chunk index is read from the same source and bound to these bytes.
  ManifestSource Source;
  uint8_t Digest[32];
};
ListedManifest BuildDownloadList();

// The file named as the manifest plus suffix (".sig", ".idx", ...) from the
// manifest's own source, read whole up to one byte past limit, so that a
// longer one is seen: its bytes in a block for free(), or null when the
// source gave none; *length is the count read (perhaps 0 with a block).
char* ReadBesideManifest(ManifestSource source, const char* suffix, int32_t limit,
                         int32_t* length);

// The program's own path with the extension "ver" in path (260 bytes): only a
// dot in the file name starts an extension, so a name without one gets
// ".ver" appended. False when there is no program path or the result would
// not fit: a cut path names some other file, so nothing is read then.
bool LocalManifestPath(char* path, const char* program);
