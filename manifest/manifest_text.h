// The manifest "files.ver" as text: sections, file lines and site lines.
//
// This half knows nothing of the file system. It splits the text, follows
// the sections, reads each file line into an entry, applies the section and
// language filters and the limits of the records, and hands every site line
// and every accepted entry with its local path to the caller, which registers
// the sites, checks whether a file is already present and stores the rest.
#pragma once

#include <stdint.h>

enum {
  kManifestNameCapacity = 64,   // a name is at most 63 characters
  kManifestPathCapacity = 260,  // install folder and name together
  // What installers of the earlier kind read of a manifest, in one read; a
  // text of this length may have been cut in the middle of its last line.
  kManifestReadLimit = 100000,
  // The largest manifest this installer reads (whole, from any source) and
  // the publisher writes: 8 MiB. A longer one is refused, never cut.
  kManifestSizeLimit = 8 * 1024 * 1024,
};

// Section numbers; bit n of a SectionSet selects section n.
enum {
  kSectionNone = 0,
  kSectionClient = 1,
  kSectionServerOnly = 2,
  kSectionOnDemand = 3,
  kSectionSites = 4,
};

enum { kSha256Size = 32, kSha256HexCapacity = 65 };  // 64 hex digits and the terminator

struct ManifestEntry {
  char Name[kManifestNameCapacity];  // relative to the install folder
  int32_t Size;
  uint32_t Stamp;  // DOS date (high 16 bits) and time (low 16 bits)
  bool HasHash;    // Hash holds the SHA-256 of the file's bytes
  uint8_t Hash[kSha256Size];
};

// What the parse needs from the settings, passed in so that it can run
// without the global record. A null Language or InstallDir reads as empty.
struct ManifestSettings {
  uint8_t SectionSet;
  int32_t InstallMode;
  const char* Language;
  const char* InstallDir;  // ends in '\'
};
// The settings as InstallSettings holds them now.
ManifestSettings CurrentManifestSettings();

// The caller's side of the parse. Reserve (may be null) is told once, before
// any entry, how many lines the text has: no more entries than that follow.
// When it answers false no entry is delivered; sites are still delivered.
// Entry gets each accepted entry and its local path (InstallDir + Name).
// Site (may be null) gets each line of the SITES section, which it may change.
// Unfetchable (may be null) gets the name of each selected file whose line
// carries a malformed hash: that file cannot be fetched as listed (never
// unverified), so an installer counts it as a file that failed.
struct ManifestSink {
  void* Context;
  bool (*Reserve)(void* context, int32_t lineCount);
  void (*Entry)(void* context, const ManifestEntry& entry, const char* localPath);
  void (*Site)(void* context, char* line);
  void (*Unfetchable)(void* context, const char* name) = nullptr;
};

// Parses length bytes of text; text[length] must be writable (the last line
// is terminated there). The text is changed in place. cutByReadLimit says
// that the source may have stopped inside the last line: everything after
// the last CR is then dropped, so no entry is made from a cut line. A
// negative length is an empty text. Returns the number of entries delivered.
int32_t ParseManifestText(char* text, int32_t length, bool cutByReadLimit,
                          const ManifestSettings& settings, const ManifestSink& sink);

// 1 to 4 when the text (what follows '[') begins with CLIENT, SERVERONLY,
// ONDEMAND or SITES, ignoring ASCII case; otherwise 0.
int32_t SectionNumber(const char* text);

enum FileLineResult {
  kFileLineOk,
  kFileLineNameTooLong,   // over 63 characters
  kFileLineUnsafeName,    // empty, absolute, "..", device names, ...
  kFileLineReservedName,  // a name the installer writes itself (linkfiles, ...)
  kFileLineSizeTooLarge,  // above 2147483647
  kFileLineStampTooLarge, // does not fit 32 bits
  kFileLineBadHash        // a hash field that is not 64 lowercase hex digits
};
// name=size<sep>stamp[,sha256]: the name is what precedes the first '='; the
// size is the digits after it; the stamp the digits one character after the
// size digits end. No '=' gives size and stamp 0. The entry is filled when
// the result is kFileLineOk.
//
// The hash field exists only on a line whose size and stamp are both
// followed by ',' (name=size,stamp,...): everything after that second ','
// must then be exactly 64 lowercase hex digits, or the whole line is refused
// (kFileLineBadHash). A hash that is short, long, uppercase, followed by any
// text or not hex at all is never read as "no hash", which would install the
// file unverified. Other text after the stamp (x=12a34,5) is ignored as
// before, and so is every such line read by an installer that knows nothing
// of hashes: name, size and stamp come out the same with or without one.
// On kFileLineBadHash only the entry's Name is filled (the name is sound).
FileLineResult ParseFileLine(const char* line, ManifestEntry* entry);

// SHA-256 as the manifest writes it: 64 lowercase hex digits. Parse reads
// exactly 64 such digits followed by the terminator; false otherwise, with
// hash unchanged.
bool ParseSha256Hex(const char* text, uint8_t hash[kSha256Size]);
void FormatSha256Hex(const uint8_t hash[kSha256Size], char text[kSha256HexCapacity]);

// The language filter of hosted installs: outside InstallMode 2 and for
// names without a folder, true; otherwise the name's top folder must equal
// the first as many characters of language (ASCII case ignored), and an
// empty language allows no folder at all.
bool LanguageAllowsFor(const char* name, int32_t installMode, const char* language);
// The same with InstallMode and Language from InstallSettings.
bool LanguageAllows(const char* name);
