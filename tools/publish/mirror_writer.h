// The mirror writer: every file as one zlib stream in its month folder and
// under its top-level name, written in parallel, kept when already there.
#pragma once

#include <vector>

#include "tools/publish/options.h"
#include "tools/publish/publish.h"
#include "tools/publish/release_scan.h"

namespace publish {

// Makes the month folders and places every file's objects, counting in
// *report. False when anything failed (the reasons in report->errors).
bool WriteMirror(const Options& options, const std::vector<FileEntry>& files, Report* report);

}  // namespace publish
