// The manifest writer: files.ver's text, proved to read back through the
// installer's own parser, compared with the release it replaces, and
// written (with its signature file) in one rename each.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "manifest/manifest_text.h"
#include "tools/common/temp_file.h"
#include "tools/publish/options.h"
#include "tools/publish/release_scan.h"

namespace publish {

// A file line of the files.ver being replaced.
struct PreviousEntry {
  uint64_t size = 0;
  uint32_t stamp = 0;
  bool hasHash = false;
  uint8_t hash[kSha256Size] = {};
};

// What the output folder holds from the last publish.
struct PreviousRelease {
  bool manifestPresent = false;
  std::string manifestText;
  std::map<std::string, PreviousEntry> entries;  // by name in ASCII upper case
  bool signaturePresent = false;
  bool signatureReadable = false;  // parsed; serial is then set
  uint32_t serial = 0;             // trusted only once the signature verifies
  std::string signatureText;
};

// Reads files.ver and files.ver.sig of the output folder, when there. False,
// with a reason in *errors, when one is there but cannot be read.
bool ReadPreviousRelease(const std::filesystem::path& out, PreviousRelease* previous,
                         std::vector<std::string>* errors);

// The previous files.ver lists the file with the same size, stamp and hash.
bool Vouches(const PreviousRelease& previous, const FileEntry& file);

// Refuses files whose content changed while their size and stamp did not:
// installed copies would look up to date and keep the old bytes.
void CheckStale(const std::vector<FileEntry>& files, const PreviousRelease& previous,
                std::vector<std::string>* errors);

// files.ver for the files (sorted by name, hashed) and sites: sections in
// the installer's order, CR LF line ends, every file line with its SHA-256.
std::string ManifestText(const std::vector<FileEntry>& files, const Options& options);

// Adds a line to *errors when the text is over kManifestSizeLimit (the most
// the installer reads) or, with no errors so far, does not read back exactly
// as written; to *warnings when it is over what installers of the earlier
// kind read.
void CheckManifest(const std::string& text, const std::vector<FileEntry>& files,
                   const Options& options, std::vector<std::string>* errors,
                   std::vector<std::string>* warnings);

// Fully writes text to a new temporary file in folder (named as the
// release scan skips), ready for RenameInto. False with a reason in *error.
bool PrepareFile(const std::filesystem::path& folder, const std::string& text,
                 tools::TempFile* temp, std::string* error);
// Renames the prepared file to target and keeps it.
bool RenameInto(tools::TempFile* temp, const std::filesystem::path& target, std::string* error);

// Writes files.ver and, when signature is not empty, files.ver.sig, each
// through a temporary file and a rename, so that readers see an old file or
// a new one, never a part. Both temporary files are complete before the
// first rename; files.ver is renamed first, files.ver.sig right after. An
// identical files.ver is left untouched.
bool WriteRelease(const std::filesystem::path& folder, const std::string& manifest,
                  const std::string& signature, std::string* error);

}  // namespace publish
