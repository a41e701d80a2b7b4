// brevane-check: fetches every mirror object that the sites of a release
// should serve, inflates it and compares it with the manifest, so that an
// operator knows before switching a release live that every installer will
// find its files. See --help.
//
// Object names, URLs and the manifest's lines are read with the installer's
// own code, so the check asks for exactly what an installer asks for.
#include <curl/curl.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "config/sites.h"
#include "tools/check/check.h"

using namespace check;

namespace {

bool PrintTable(const std::vector<SiteResult>& sites, size_t perSite, long details) {
  printf("%-40s %8s %8s %8s %8s %8s %8s  %s\n", "SITE", "OBJECTS", "OK", "MISSING", "WRONG",
         "FAILED", "SLOW", "RESULT");
  bool allPass = true;
  for (const SiteResult& site : sites) {
    bool pass = site.counts[kMissing] + site.counts[kWrong] + site.counts[kFailed] == 0;
    allPass = allPass && pass;
    printf("%-40s %8zu %8zu %8zu %8zu %8zu %8zu  %s\n", site.url.c_str(), perSite,
           site.counts[kOk], site.counts[kMissing], site.counts[kWrong], site.counts[kFailed],
           site.slow, pass ? "pass" : "FAIL");
  }
  for (const SiteResult& site : sites) {
    if (site.problems.empty() || details == 0) continue;
    printf("\n%s:\n", site.url.c_str());
    size_t shown = 0;
    for (const std::string& problem : site.problems) {
      if (shown++ == static_cast<size_t>(details)) {
        printf("  ... and %zu more\n", site.problems.size() - static_cast<size_t>(details));
        break;
      }
      printf("  %s\n", problem.c_str());
    }
  }
  return allPass;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (ParseOptions(argc, argv, &options)) {
    case 1: return 0;
    case 2: return 2;
    default: break;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    fprintf(stderr, "brevane-check: libcurl cannot start\n");
    return 2;
  }
  struct CurlGlobal {
    ~CurlGlobal() { curl_global_cleanup(); }
  } curlGlobal;

  std::string text, error;
  if (!ReadManifest(options, &text, &error)) {
    fprintf(stderr, "brevane-check: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> refused = RefusedLines(text);
  for (const std::string& line : refused)
    printf("manifest %s\n", line.c_str());
  if (!refused.empty())
    printf("%zu file lines of the manifest are refused by installers: those files are never "
           "installed\n\n", refused.size());
  ResetSiteTable();
  bool anyHash = false;
  std::vector<Object> objects = ObjectsOf(text, options.layout, &anyHash);
  // An error page, an empty body or a manifest of no files would otherwise
  // pass with nothing checked.
  if (objects.empty() && refused.empty()) {
    fprintf(stderr, "brevane-check: %s has no file line in a release section: not a release "
            "manifest\n", options.manifest.c_str());
    return 2;
  }
  std::vector<SiteResult> sites;
  if (options.sites.empty()) {
    for (int32_t i = 0; i < SiteCount; i++) sites.push_back({SiteTable[i]->Url, {}, 0, {}});
  } else {
    for (const std::string& url : options.sites) sites.push_back({url, {}, 0, {}});
  }
  ResetSiteTable();
  if (sites.empty()) {
    fprintf(stderr, "brevane-check: the manifest lists no sites and none were given\n");
    return 2;
  }
  size_t files = options.layout == kLayoutBoth ? objects.size() / 2 : objects.size();
  printf("%zu objects of %zu files on %zu sites, checking sizes%s\n", objects.size(), files,
         sites.size(), anyHash ? " and SHA-256" : " only (the manifest has no hashes)");
  if (!RunTransfers(options, objects, &sites)) {
    fprintf(stderr, "brevane-check: libcurl failed\n");
    return 2;
  }
  bool sitesPass = PrintTable(sites, objects.size(), options.details);
  return sitesPass && refused.empty() ? 0 : 1;
}
