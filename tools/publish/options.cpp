// brevane-publish's command line.
#include "tools/publish/options.h"

#include "manifest/mirror_name.h"
#include "manifest/sites.h"
#include "tools/common/options.h"
#include "tools/common/text.h"

namespace publish {

using tools::EqualNoCaseAscii;
using tools::Quoted;

namespace {

const int kUrlLimit = kMirrorUrlCapacity - 1;
const long kMaxThreads = kMaxSiteThreads;

enum OptionId { kOut, kMirror, kServerOnly, kOnDemand, kJobs, kSite, kVerify };

const tools::OptionSpec kOptionSpecs[] = {
    {"out", true, kOut},         {"mirror", true, kMirror}, {"serveronly", true, kServerOnly},
    {"ondemand", true, kOnDemand}, {"jobs", true, kJobs},   {"site", true, kSite},
    {"verify", false, kVerify},
};

tools::OptionStep AddSite(const std::string& value, Options* options, std::string* error) {
  // The installer cuts a site line at its first '='.
  SiteOption site;
  size_t cut = value.find('=');
  site.url = value.substr(0, cut);
  if (cut != std::string::npos) site.threads = value.substr(cut + 1);
  if (site.url.size() < 8 || !EqualNoCaseAscii(site.url.substr(0, 7), "http://")) {
    *error = "--site " + Quoted(value) + ": the installer takes only http:// sites";
    return tools::OptionStep::Error;
  }
  if (site.url.size() > static_cast<size_t>(kUrlLimit)) {
    *error = "--site " + Quoted(value) + ": URL over " + std::to_string(kUrlLimit) +
             " characters";
    return tools::OptionStep::Error;
  }
  for (char c : site.url) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      *error = "--site " + Quoted(value) + ": blank, control or non-ASCII character";
      return tools::OptionStep::Error;
    }
  }
  if (cut != std::string::npos &&
      (site.threads.empty() || site.threads.size() > 2 ||
       site.threads.find_first_not_of("0123456789") != std::string::npos ||
       std::stol(site.threads) > kMaxThreads)) {
    *error = "--site " + Quoted(value) + ": workers must be 0 to " + std::to_string(kMaxThreads);
    return tools::OptionStep::Error;
  }
  if (options->sites.size() >= static_cast<size_t>(kSiteTableCapacity)) {
    *error = "more than " + std::to_string(kSiteTableCapacity) + " sites";
    return tools::OptionStep::Error;
  }
  options->sites.push_back(site);
  return tools::OptionStep::Next;
}

tools::OptionStep TakeOption(void* context, int id, const char* text, std::string* error) {
  Options* options = static_cast<Options*>(context);
  std::string value = text != nullptr ? text : "";
  switch (id) {
    case kOut: options->out = value; break;
    case kMirror: options->mirror = value; break;
    case kServerOnly: options->serverOnly.push_back(value); break;
    case kOnDemand: options->onDemand.push_back(value); break;
    case kVerify: options->verify = true; break;
    case kJobs: {
      long jobs = 0;
      if (!tools::ParseDecimal(value, 1, 9999, &jobs) || value.size() > 4) {
        *error = "--jobs must be 1 to 9999";
        return tools::OptionStep::Error;
      }
      options->jobs = static_cast<unsigned>(jobs);
      break;
    }
    case kSite: return AddSite(value, options, error);
  }
  return tools::OptionStep::Next;
}

}  // namespace

const char* UsageText() {
  return
      "Usage: brevane-publish [options] RELEASE_FOLDER\n"
      "\n"
      "Lists every file below RELEASE_FOLDER in the manifest files.ver, each as\n"
      "name=size,stamp ('\\' between folders, the stamp the file's last-write time in\n"
      "UTC as a DOS date and time), sorted by name, with CR LF line ends. Files go\n"
      "to [CLIENT] unless they lie below a folder named with --serveronly or\n"
      "--ondemand (the deepest such folder decides). A files.ver at the top of\n"
      "RELEASE_FOLDER is the manifest itself and is not listed.\n"
      "\n"
      "Nothing is written when a file could not be installed: names over 63\n"
      "characters, characters Windows forbids (<>:\"/\\|?* inside a name, control\n"
      "characters, non-ASCII), parts ending in a dot or space, device names, '='\n"
      "or a leading '[', sizes above 2147483647, times outside 1980..2107, names\n"
      "that differ only in letter case, or a manifest over 100000 bytes.\n"
      "\n"
      "Options:\n"
      "  --out=DIR          where files.ver is written (default: RELEASE_FOLDER, the\n"
      "                     folder the session host serves)\n"
      "  --serveronly=DIR   files below RELEASE_FOLDER/DIR go to [SERVERONLY]\n"
      "  --ondemand=DIR     files below RELEASE_FOLDER/DIR go to [ONDEMAND]\n"
      "                     (both may be given several times)\n"
      "  --site=URL[=N]     adds URL to [SITES] with N workers (0 to 15; without =N\n"
      "                     the installer starts 1). URL must begin with http://;\n"
      "                     at most 16 sites\n"
      "  --mirror=DIR       writes every file as one zlib stream named\n"
      "                     STAMP_SIZE_NAME ('\\' as '_') into DIR/YYMM/ and, as a\n"
      "                     hard link (or a copy), into DIR/. An object already\n"
      "                     there under its name is kept: the name carries the\n"
      "                     stamp and the size. DIR must not lie inside\n"
      "                     RELEASE_FOLDER\n"
      "  --verify           inflate every kept object and rewrite those that do not\n"
      "                     give exactly the file's size\n"
      "  --jobs=N           compression threads (default: one per core)\n"
      "  --help             show this text\n"
      "\n"
      "Options also take their value as the next argument (--out DIR).\n"
      "Exit status: 0 done, 1 refused or failed (files.ver unchanged), 2 bad usage.\n";
}

OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error) {
  std::vector<std::string> operands;
  switch (tools::ParseCommandLine(args, kOptionSpecs, sizeof kOptionSpecs / sizeof kOptionSpecs[0],
                                  options, TakeOption, &operands, error)) {
    case tools::OptionStep::Help: return OptionsResult::Help;
    case tools::OptionStep::Error: return OptionsResult::Error;
    case tools::OptionStep::Next: break;
  }
  if (operands.size() > 1) {
    *error = "more than one release folder given";
    return OptionsResult::Error;
  }
  if (operands.empty()) {
    *error = "no release folder given";
    return OptionsResult::Error;
  }
  options->source = operands[0];
  return OptionsResult::Run;
}

}  // namespace publish
