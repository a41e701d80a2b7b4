// The release side of brevane-check: the manifest read from a file or a
// URL, and its objects and refused lines, with the installer's own parser.
#include <curl/curl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "config/sites.h"
#include "manifest/manifest_text.h"
#include "tinylib/simple_strings.h"
#include "tools/check/check.h"
#include "tools/check/curl_handles.h"

namespace check {

const char* const kOutcomeNames[4] = {"ok", "missing", "wrong", "failed"};

bool FollowRedirects(CURL* h) {
#if LIBCURL_VERSION_NUM >= 0x075500
  bool webOnly = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
#else
  const long web = CURLPROTO_HTTP | CURLPROTO_HTTPS;
  bool webOnly = curl_easy_setopt(h, CURLOPT_PROTOCOLS, web) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, web) == CURLE_OK;
#endif
  return webOnly && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_USERAGENT, "brevane-check") == CURLE_OK;
}

namespace {

size_t CollectText(char* data, size_t one, size_t count, void* context) {
  std::string* text = static_cast<std::string*>(context);
  if (text->size() + one * count > kManifestFetchLimit) return 0;
  text->append(data, one * count);
  return one * count;
}

bool IsUrl(const std::string& text) {
  return strncasecmp(text.c_str(), "http://", 7) == 0 ||
         strncasecmp(text.c_str(), "https://", 8) == 0;
}

}  // namespace

bool ReadManifest(const Options& options, std::string* text, std::string* error) {
  if (!IsUrl(options.manifest)) {
    std::ifstream in(options.manifest, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    if (!in) {
      *error = "cannot read " + options.manifest;
      return false;
    }
    *text = data.str();
    if (text->size() > kManifestFetchLimit) {
      *error = options.manifest + ": over " + std::to_string(kManifestFetchLimit >> 20) +
               " MiB, not a manifest";
      return false;
    }
    return true;
  }
  CurlHandle handle(curl_easy_init());
  if (!handle) {
    *error = "libcurl cannot start";
    return false;
  }
  char errorText[CURL_ERROR_SIZE] = "";
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, options.manifest.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectText);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, text);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, options.timeoutSeconds);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  FollowRedirects(h);
  CURLcode result = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) {
    *error = options.manifest + ": " + (errorText[0] != 0 ? errorText : curl_easy_strerror(result));
    return false;
  }
  if (status != 200) {
    *error = options.manifest + ": HTTP " + std::to_string(status);
    return false;
  }
  return true;
}

namespace {

void CollectEntry(void* context, const ManifestEntry& entry, const char*) {
  static_cast<std::vector<ManifestEntry>*>(context)->push_back(entry);
}

// The installer's own rule for a site line (scheme, base URL up to '=').
void CollectSite(void*, char* line) { AddSite(line); }

}  // namespace

// Every entry of the release sections, once per object name, in each layout asked.
std::vector<Object> ObjectsOf(const std::string& text, int layout, bool* anyHash) {
  std::vector<ManifestEntry> entries;
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);  // the parser terminates the last line here
  ManifestSettings settings = {kReleaseSections, 0, "", ""};
  ManifestSink sink = {&entries, nullptr, CollectEntry, CollectSite};
  ParseManifestText(buffer.data(), static_cast<int32_t>(text.size()), false, settings, sink);

  std::vector<Object> objects;
  std::set<std::tuple<uint32_t, int32_t, std::string>> seen;
  *anyHash = false;
  for (const ManifestEntry& entry : entries) {
    if (!seen.insert(std::make_tuple(entry.Stamp, entry.Size, std::string(entry.Name))).second)
      continue;
    *anyHash = *anyHash || entry.HasHash;
    if (layout & kLayoutMonth) objects.push_back({entry, true});
    if (layout & kLayoutFlat) objects.push_back({entry, false});
  }
  return objects;
}

namespace {

const char* RefusalText(FileLineResult result) {
  switch (result) {
    case kFileLineNameTooLong: return "name over 63 characters";
    case kFileLineUnsafeName: return "name not a plain relative path";
    case kFileLineSizeTooLarge: return "size above 2147483647";
    case kFileLineStampTooLarge: return "stamp above 32 bits";
    case kFileLineBadHash: return "hash field not 64 lowercase hex digits";
    default: return "refused";
  }
}

}  // namespace

// File lines that installers refuse, read with the installer's line split,
// sections and line parse: files of the release that no site can make up
// for, so they fail the check.
std::vector<std::string> RefusedLines(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  TSimpleStrings lines(buffer.data(), static_cast<int32_t>(text.size()));
  std::vector<std::string> refused;
  if (lines.Truncated()) refused.push_back("not every line could be read (out of memory)");
  int32_t section = kSectionNone;
  for (int32_t i = 0; i < lines.Count; i++) {
    const char* line = lines.Items[i];
    if (line[0] == 0) continue;
    if (line[0] == '[') {
      section = SectionNumber(line + 1);
      continue;
    }
    if (section == kSectionSites || (kReleaseSections & (1u << section)) == 0) continue;
    ManifestEntry entry;
    FileLineResult result = ParseFileLine(line, &entry);
    if (result != kFileLineOk)
      refused.push_back("line " + std::to_string(i + 1) + ", " + RefusalText(result) + ": " +
                        std::string(line).substr(0, 100));
  }
  return refused;
}

}  // namespace check
