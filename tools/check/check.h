// brevane-check: what its parts share: the options, the objects a release
// asks its sites for, and each site's tally.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "manifest/manifest_text.h"

namespace check {

const long kMaxJobs = 64;
// A manifest is at most a few MiB; anything far larger is not one.
const size_t kManifestFetchLimit = 64u << 20;
const size_t kInflateBlock = 32768;
const long kConnectTimeoutSeconds = 10;
// The sections the publisher writes and installers list (CLIENT, SERVERONLY,
// ONDEMAND); lines before the first header are no part of a release.
const uint8_t kReleaseSections = 0x0E;

enum Layout { kLayoutMonth = 1, kLayoutFlat = 2, kLayoutBoth = 3 };

struct Options {
  std::string manifest;
  std::vector<std::string> sites;  // empty: the manifest's SITES
  long jobs = 8;
  long timeoutSeconds = 120;
  double slowSeconds = 10;
  int layout = kLayoutBoth;
  long details = 10;
};

struct Object {
  ManifestEntry entry;
  bool monthFolder;
};

enum Outcome { kOk, kMissing, kWrong, kFailed };

struct SiteResult {
  std::string url;
  size_t counts[4] = {0, 0, 0, 0};
  size_t slow = 0;
  std::vector<std::string> problems;
};

extern const char* const kOutcomeNames[4];

// Reads the command line: 0 run, 1 help printed, 2 bad usage (printed).
int ParseOptions(int argc, char** argv, Options* options);

// The manifest text from a path or an http(s) URL; false with error set.
bool ReadManifest(const Options& options, std::string* text, std::string* error);
// Every entry of the release sections, once per object name, in each layout
// asked; sites of the manifest's SITES section go to the installer's table.
std::vector<Object> ObjectsOf(const std::string& text, int layout, bool* anyHash);
// File lines that installers refuse, with the reason.
std::vector<std::string> RefusedLines(const std::string& text);

// Fetches every object from every site, at most options.jobs at once.
bool RunTransfers(const Options& options, const std::vector<Object>& objects,
                  std::vector<SiteResult>* sites);

}  // namespace check
