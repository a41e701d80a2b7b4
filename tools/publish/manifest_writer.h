// The manifest writer: files.ver's text, proved to read back through the
// installer's own parser, and written in one rename.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/options.h"
#include "tools/publish/release_scan.h"

namespace publish {

// files.ver for the files (sorted by name) and sites: sections in the
// installer's order, CR LF line ends.
std::string ManifestText(const std::vector<FileEntry>& files, const Options& options);

// Adds a line to *errors when the text is over what the installer reads or,
// with no errors so far, does not read back exactly as written.
void CheckManifest(const std::string& text, const std::vector<FileEntry>& files,
                   const Options& options, std::vector<std::string>* errors);

// Writes files.ver through a temporary file and a rename, so that readers
// see the old manifest or the new one, never a part. An identical manifest
// is left untouched.
bool WriteManifest(const std::filesystem::path& target, const std::string& text,
                   std::string* error);

}  // namespace publish
