// brevane-publish's command line.
#pragma once

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
  unsigned jobs = 0;                   // 0: one per core
};

enum class OptionsResult { Run, Help, Error };
// args without the program name.
OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error);
const char* UsageText();

}  // namespace publish
