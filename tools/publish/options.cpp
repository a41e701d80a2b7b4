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

// Expiry dates stay within what a signature file can state (year 9999).
const long kMaxExpiresDays = 36500;
const long kMaxSerialDigits = 10;

enum OptionId {
  kOut, kMirror, kServerOnly, kOnDemand, kJobs, kSite, kVerify, kPrune, kQuiet, kSign, kSerial,
  kExpires
};

const tools::OptionDef kOptionDefs[] = {
    {"out", true, kOut},           {"mirror", true, kMirror}, {"serveronly", true, kServerOnly},
    {"ondemand", true, kOnDemand}, {"jobs", true, kJobs},     {"site", true, kSite},
    {"verify", false, kVerify},    {"prune", false, kPrune},  {"quiet", false, kQuiet},
    {"sign", true, kSign},         {"serial", true, kSerial}, {"expires", true, kExpires},
};

const tools::OptionDef kKeygenDefs[] = {{"out", true, kOut}};

// A serial as the signature file writes it: 1..4294967295, no leading zero.
bool ParseSerial(const std::string& text, uint32_t* serial) {
  if (text.empty() || text.size() > static_cast<size_t>(kMaxSerialDigits) || text[0] == '0' ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long long value = std::stoull(text);
  if (value > 4294967295ull) return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

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
    case kPrune: options->prune = true; break;
    case kQuiet: options->quiet = true; break;
    case kSign:
      if (value.empty()) {
        *error = "--sign needs the private key file";
        return tools::OptionStep::Error;
      }
      options->signKey = value;
      break;
    case kSerial:
      if (!ParseSerial(value, &options->serial)) {
        *error = "--serial must be 1 to 4294967295";
        return tools::OptionStep::Error;
      }
      break;
    case kExpires: {
      long days = 0;
      if (!tools::ParseDecimal(value, 1, kMaxExpiresDays, &days)) {
        *error = "--expires must be 1 to " + std::to_string(kMaxExpiresDays) + " days";
        return tools::OptionStep::Error;
      }
      options->expiresDays = static_cast<unsigned>(days);
      break;
    }
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
      "       brevane-publish keygen --out=PREFIX\n"
      "\n"
      "Lists every file below RELEASE_FOLDER in the manifest files.ver, each as\n"
      "name=size,stamp,sha256 ('\\' between folders, the stamp the file's last-write\n"
      "time in UTC as a DOS date and time, the SHA-256 of its bytes in lowercase\n"
      "hex), sorted by name, with CR LF line ends. Files go to [CLIENT] unless they\n"
      "lie below a folder named with --serveronly or --ondemand (the deepest such\n"
      "folder decides). A files.ver and files.ver.sig at the top of RELEASE_FOLDER\n"
      "are the manifest and its signature and are not listed.\n"
      "\n"
      "Nothing is written when a file could not be installed: names over 63\n"
      "characters, characters Windows forbids (<>:\"/\\|?* inside a name, control\n"
      "characters, non-ASCII), parts ending in a dot or space, device names, '='\n"
      "or a leading '[', sizes above 2147483647, times outside 1980..2107, names\n"
      "that differ only in letter case, or a manifest over 8 MiB (one over 100000\n"
      "bytes is written with a warning: installers of the earlier kind read only\n"
      "that much). The names the installer writes itself in the install folder\n"
      "(linkfiles, install.txt, PARAMS.CFG, the folder Pellinor.staging) are\n"
      "refused at the top level. Nor when a file's bytes changed while its size\n"
      "and time did not, compared with the files.ver in the output folder:\n"
      "installed copies would keep the old bytes; give the file a new time.\n"
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
      "                     there under its name is kept when the previous\n"
      "                     files.ver lists the file with the same hash, and\n"
      "                     otherwise inflated and rewritten unless it holds\n"
      "                     exactly the file's bytes. New objects are renamed\n"
      "                     into place only once the release is accepted. DIR\n"
      "                     must not lie inside RELEASE_FOLDER\n"
      "  --verify           inflate every kept object and rewrite those that do not\n"
      "                     hold exactly the file's bytes\n"
      "  --prune            after files.ver is written, remove the mirror objects\n"
      "                     (STAMP_SIZE_NAME files at the top of DIR and in the\n"
      "                     month folder of their stamp) that it no longer names\n"
      "  --sign=KEY         also write files.ver.sig, signed with the P-256 private\n"
      "                     key in the PEM file KEY (see keygen)\n"
      "  --serial=N         the release serial of the signature (default: one more\n"
      "                     than that of the files.ver.sig in the output folder,\n"
      "                     or 1); must be above it\n"
      "  --expires=DAYS     the signature expires DAYS days from now\n"
      "  --jobs=N           compression threads (default: one per core)\n"
      "  --quiet            no progress line (drawn on standard error only when it\n"
      "                     is a terminal) and no summary\n"
      "  --help             show this text\n"
      "\n"
      "keygen --out=PREFIX writes a new P-256 key pair: PREFIX-private.pem (PKCS#8,\n"
      "mode 0600; keep it off every server) and PREFIX-public.pem (for the\n"
      "installer build's PELLINOR_RELEASE_KEY). Existing files are never\n"
      "overwritten.\n"
      "\n"
      "files.ver and files.ver.sig are each written to a temporary file and\n"
      "renamed into place, files.ver first, after every mirror object is in place.\n"
      "Options also take their value as the next argument (--out DIR).\n"
      "Exit status: 0 done, 1 refused or failed (files.ver unchanged unless said\n"
      "otherwise), 2 bad usage.\n";
}

OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error) {
  std::vector<std::string> operands;
  switch (tools::ParseCommandLine(args, kOptionDefs, sizeof kOptionDefs / sizeof kOptionDefs[0],
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
  if (options->signKey.empty() && (options->serial != 0 || options->expiresDays != 0)) {
    *error = "--serial and --expires go with --sign";
    return OptionsResult::Error;
  }
  if (options->prune && options->mirror.empty()) {
    *error = "--prune goes with --mirror";
    return OptionsResult::Error;
  }
  options->source = operands[0];
  return OptionsResult::Run;
}

bool IsKeygen(const std::vector<std::string>& args) {
  return !args.empty() && args[0] == "keygen";
}

namespace {

tools::OptionStep TakeKeygenOption(void* context, int, const char* text, std::string*) {
  static_cast<KeygenOptions*>(context)->prefix = text != nullptr ? text : "";
  return tools::OptionStep::Next;
}

}  // namespace

OptionsResult ParseKeygenOptions(const std::vector<std::string>& args, KeygenOptions* options,
                                 std::string* error) {
  std::vector<std::string> operands;
  switch (tools::ParseCommandLine(args, kKeygenDefs, 1, options, TakeKeygenOption, &operands,
                                  error)) {
    case tools::OptionStep::Help: return OptionsResult::Help;
    case tools::OptionStep::Error: return OptionsResult::Error;
    case tools::OptionStep::Next: break;
  }
  if (!operands.empty()) {
    *error = "keygen takes no operand: " + Quoted(operands[0]);
    return OptionsResult::Error;
  }
  if (options->prefix.empty()) {
    *error = "keygen needs --out=PREFIX";
    return OptionsResult::Error;
  }
  return OptionsResult::Run;
}

}  // namespace publish
