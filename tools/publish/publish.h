// brevane-publish: turns a release folder of client files into what the
// servers serve: the manifest files.ver and, optionally, the compressed
// mirror objects.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

namespace publish {

// Sections of the manifest, by the number the installer gives them.
enum class Section { Client = 1, ServerOnly = 2, OnDemand = 3 };

struct SiteOption {
  std::string url;
  std::string threads;  // empty: no "=N" written, the installer uses 1
};

struct Options {
  std::string source;                  // the release folder
  std::string out;                     // folder of files.ver; empty: source
  std::string mirror;                  // empty: no mirror objects
  std::vector<std::string> serverOnly; // folders below source
  std::vector<std::string> onDemand;
  std::vector<SiteOption> sites;
  bool verify = false;                 // inflate objects that are kept
  unsigned jobs = 0;                   // 0: one per core
};

// What a run did, for the summary line and for tests.
struct Report {
  size_t files = 0;
  size_t manifestBytes = 0;
  size_t objectsWritten = 0;  // month-folder objects compressed anew
  size_t objectsKept = 0;     // month-folder objects already in place
  size_t topLinked = 0;       // top-level names made as hard links
  size_t topCopied = 0;       // top-level names made as copies
  size_t topKept = 0;
  std::vector<std::string> errors;  // one line each, naming the file
};

enum class OptionsResult { Run, Help, Error };
OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error);
const char* UsageText();

// Does the whole job. Returns the exit status: 0 when files.ver (and every
// mirror object) is in place, 1 when something was refused or failed, in
// which case files.ver is left as it was.
int Publish(const Options& options, Report* report);

// Parses args (without the program name), runs, and prints the outcome.
int RunMain(const std::vector<std::string>& args);

// A time in seconds since 1970 (UTC) as a DOS date and time; false when the
// year is outside 1980..2107, which a DOS date cannot hold.
bool DosStampOfTime(int64_t seconds, uint32_t* stamp);

// Why the installer could not install a file of this manifest name
// ('\'-separated); empty when it can.
std::string NameRefusal(const std::string& name);

}  // namespace publish
