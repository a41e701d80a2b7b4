// brevane-publish: turns a release folder of client files into what the
// servers serve: the manifest files.ver and, optionally, the compressed
// mirror objects.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "tools/publish/chunk_store.h"
#include "tools/publish/options.h"
#include "tools/publish/release_scan.h"

namespace publish {

// What a run did, for the summary line and for tests.
struct Report {
  size_t files = 0;
  size_t manifestBytes = 0;
  size_t objectsWritten = 0;  // month-folder objects compressed anew
  size_t objectsRewritten = 0;  // month-folder objects replaced: broken or of other bytes
  size_t objectsKept = 0;     // month-folder objects already in place
  size_t objectsPruned = 0;   // object files no longer named, removed by --prune
  size_t topLinked = 0;       // top-level names made as hard links
  size_t topCopied = 0;       // top-level names made as copies
  size_t topKept = 0;
  uint32_t serial = 0;        // of the files.ver.sig written; 0: none
  size_t indexBytes = 0;      // files.ver.idx
  ChunkCounts chunks;         // the mirror's chunk objects
  bool published = false;     // files.ver (and its signature) are in place
  std::vector<std::string> errors;    // one line each, naming the file
  std::vector<std::string> warnings;  // published all the same
};

// Does the whole job. Returns the exit status: 0 when files.ver (and every
// mirror object) is in place, 1 when something was refused or failed, in
// which case files.ver is left as it was.
int Publish(const Options& options, Report* report);

// The keygen command: a new key pair; 0 done, 1 failed.
int MakeKeyPair(const KeygenOptions& options, std::string* privatePath, std::string* publicPath,
                std::string* error);

// Parses args (without the program name), runs, and prints the outcome.
int RunMain(const std::vector<std::string>& args);

}  // namespace publish
