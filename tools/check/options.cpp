// brevane-check's command line (getopt_long).
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tools/check/check.h"

namespace check {

namespace {

const char kUsage[] =
    "Usage: brevane-check [options] MANIFEST [SITE_URL...]\n"
    "Fetches every mirror object of the release that MANIFEST (a files.ver path or\n"
    "http:// URL) describes from every site (default: the manifest's SITES),\n"
    "inflates it and compares its size and, when the manifest has them, its\n"
    "SHA-256. Prints one row per site; exits 1 when any object of any site is\n"
    "missing, wrong or could not be fetched, or when installers would refuse a\n"
    "file line of the manifest; 2 on bad usage, an unreadable manifest or one\n"
    "without a file line (an error page, an empty body); 0 otherwise. Slow\n"
    "objects are listed but pass. Redirects are followed to http:// and https://\n"
    "only.\n"
    "\n"
    "  --jobs=N       objects fetched at once, over all sites (default 8, at most 64)\n"
    "  --timeout=SEC  give up on an object after SEC seconds (default 120)\n"
    "  --slow=SEC     count an object as slow when it takes longer (default 10)\n"
    "  --layout=L     month: objects in month folders (plain installs); flat: at\n"
    "                 the top of the site (hosted installs); both (default)\n"
    "  --details=N    problems listed per site (default 10; 0 lists none)\n"
    "  --help         show this text\n";

bool ParseLong(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  long parsed = strtol(text, &end, 10);
  if (end == text || *end != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// 0: run; 1: help shown; 2: error shown.

}  // namespace

int ParseOptions(int argc, char** argv, Options* options) {
  static const struct option kLong[] = {
      {"jobs", required_argument, nullptr, 'j'},   {"timeout", required_argument, nullptr, 't'},
      {"slow", required_argument, nullptr, 's'},   {"layout", required_argument, nullptr, 'l'},
      {"details", required_argument, nullptr, 'd'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, "h", kLong, nullptr)) != -1) {
    std::string error;
    switch (c) {
      case 'j':
        if (!ParseLong(optarg, 1, kMaxJobs, &options->jobs)) error = "--jobs must be 1 to 64";
        break;
      case 't':
        if (!ParseLong(optarg, 1, 86400, &options->timeoutSeconds))
          error = "--timeout must be 1 to 86400 seconds";
        break;
      case 's': {
        char* end = nullptr;
        options->slowSeconds = strtod(optarg, &end);
        if (end == optarg || *end != 0 || !(options->slowSeconds >= 0))
          error = "--slow must be a number of seconds";
        break;
      }
      case 'l':
        if (strcmp(optarg, "month") == 0) options->layout = kLayoutMonth;
        else if (strcmp(optarg, "flat") == 0) options->layout = kLayoutFlat;
        else if (strcmp(optarg, "both") == 0) options->layout = kLayoutBoth;
        else error = "--layout must be month, flat or both";
        break;
      case 'd':
        if (!ParseLong(optarg, 0, 1000000, &options->details)) error = "--details must be 0 or more";
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 1;
      default:
        error = std::string("unknown option ") + argv[optind - 1];
        break;
    }
    if (!error.empty()) {
      fprintf(stderr, "brevane-check: %s (see --help)\n", error.c_str());
      return 2;
    }
  }
  if (optind >= argc) {
    fprintf(stderr, "brevane-check: no manifest given (see --help)\n");
    return 2;
  }
  options->manifest = argv[optind++];
  while (optind < argc) options->sites.push_back(argv[optind++]);
  return 0;
}

}  // namespace check
