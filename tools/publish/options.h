// brevane-publish's command line.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace publish {

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
  bool prune = false;                  // remove mirror objects no longer named
  bool quiet = false;                  // no progress line, no summary
  unsigned jobs = 0;                   // 0: one per core
  std::string signKey;                 // private key; empty: no files.ver.sig
  uint32_t serial = 0;                 // 0: one more than the previous one
  unsigned expiresDays = 0;            // 0: no expiry line
};

// "brevane-publish keygen --out=PREFIX".
struct KeygenOptions {
  std::string prefix;
};

enum class OptionsResult { Run, Help, Error };
// args without the program name.
OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error);
const char* UsageText();

// True when args begin with the keygen command.
bool IsKeygen(const std::vector<std::string>& args);
// args after "keygen".
OptionsResult ParseKeygenOptions(const std::vector<std::string>& args, KeygenOptions* options,
                                 std::string* error);

}  // namespace publish
