// brevane-check: fetches every mirror object that the sites of a release
// should serve, inflates it and compares it with the manifest, so that an
// operator knows before switching a release live that every installer will
// find its files. See --help.
//
// Object names, URLs and the manifest's lines are read with the installer's
// own code, so the check asks for exactly what an installer asks for.
#include <curl/curl.h>
#include <getopt.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "manifest/manifest_text.h"
#include "manifest/mirror_name.h"
#include "manifest/sites.h"
#include "tinylib/simple_strings.h"

namespace {

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

const char* const kOutcomeNames[] = {"ok", "missing", "wrong", "failed"};

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// Installers follow redirects (WinINet does by default), so a site that
// redirects to where its objects are serves them.
bool FollowRedirects(CURL* h) {
  return curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_USERAGENT, "brevane-check") == CURLE_OK;
}

// One object fetched from one site: the body is inflated and hashed as it
// arrives, never held whole.
class Transfer {
 public:
  Transfer(size_t site, const Object& object, std::string url)
      : site_(site), object_(object), url_(std::move(url)) {
    memset(&stream_, 0, sizeof stream_);
    errorText_[0] = 0;
  }
  ~Transfer() {
    if (streamOpen_) inflateEnd(&stream_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets up the easy handle; false when libcurl, zlib or the digest refuse.
  bool Start(const Options& options) {
    handle_.reset(curl_easy_init());
    digest_.reset(EVP_MD_CTX_new());
    if (!handle_ || !digest_ || EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr) != 1)
      return false;
    if (inflateInit(&stream_) != Z_OK) return false;
    streamOpen_ = true;
    CURL* h = handle_.get();
    return curl_easy_setopt(h, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_WRITEDATA, this) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_PRIVATE, this) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_TIMEOUT, options.timeoutSeconds) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && FollowRedirects(h);
  }

  CURL* Handle() const { return handle_.get(); }
  size_t Site() const { return site_; }

  // Judges the finished transfer; detail says why when it is not kOk.
  Outcome Judge(CURLcode result, std::string* detail, double* seconds) const {
    long status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_off_t micros = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_TOTAL_TIME_T, &micros);
    *seconds = static_cast<double>(micros) / 1e6;
    const uint64_t expected = static_cast<uint64_t>(object_.entry.Size);
    if (result != CURLE_OK && !abandoned_) {
      *detail = errorText_[0] != 0 ? errorText_ : curl_easy_strerror(result);
      return kFailed;
    }
    if (status == 404 || status == 410) {
      *detail = "HTTP " + std::to_string(status);
      return kMissing;
    }
    if (status != 200) {
      *detail = "HTTP " + std::to_string(status);
      return kFailed;
    }
    if (broken_) {
      *detail = "not a zlib stream (inflate failed after " + std::to_string(inflated_) + " bytes)";
      return kWrong;
    }
    if (inflated_ > expected) {
      *detail = "inflates to more than " + std::to_string(expected) + " bytes";
      return kWrong;
    }
    if (!ended_) {
      *detail = "zlib stream cut short after " + std::to_string(inflated_) + " bytes";
      return kWrong;
    }
    if (inflated_ != expected) {
      *detail = "inflates to " + std::to_string(inflated_) + " bytes, expected " +
                std::to_string(expected);
      return kWrong;
    }
    if (trailing_ != 0) {
      *detail = std::to_string(trailing_) + " bytes after the end of the zlib stream";
      return kWrong;
    }
    if (object_.entry.HasHash) {
      uint8_t hash[kSha256Size];
      unsigned length = 0;
      if (EVP_DigestFinal_ex(digest_.get(), hash, &length) != 1 || length != kSha256Size) {
        *detail = "SHA-256 could not be computed";
        return kFailed;
      }
      if (memcmp(hash, object_.entry.Hash, kSha256Size) != 0) {
        char got[kSha256HexCapacity], want[kSha256HexCapacity];
        FormatSha256Hex(hash, got);
        FormatSha256Hex(object_.entry.Hash, want);
        *detail = std::string("SHA-256 ") + got + ", expected " + want;
        return kWrong;
      }
    }
    return kOk;
  }

  const std::string& Url() const { return url_; }

 private:
  static size_t OnBody(char* data, size_t one, size_t count, void* context) {
    return static_cast<Transfer*>(context)->Take(reinterpret_cast<uint8_t*>(data), one * count);
  }

  // Returning less than length makes libcurl end the transfer: done once
  // the object is known to be wrong, so a large wrong body is not read on.
  size_t Take(uint8_t* data, size_t length) {
    long status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return length;  // an error page: only its status counts
    if (ended_) {
      trailing_ += length;
      return length;
    }
    uint8_t out[kInflateBlock];
    stream_.next_in = data;
    stream_.avail_in = static_cast<uInt>(length);
    while (stream_.avail_in > 0 && !ended_) {
      stream_.next_out = out;
      stream_.avail_out = sizeof out;
      int z = inflate(&stream_, Z_NO_FLUSH);
      size_t produced = sizeof out - stream_.avail_out;
      inflated_ += produced;
      if (produced > 0 && EVP_DigestUpdate(digest_.get(), out, produced) != 1) z = Z_MEM_ERROR;
      if (z == Z_STREAM_END) {
        ended_ = true;
      } else if (z != Z_OK && !(z == Z_BUF_ERROR && produced > 0)) {
        broken_ = true;
      }
      if (broken_ || inflated_ > static_cast<uint64_t>(object_.entry.Size)) {
        abandoned_ = true;
        return 0;
      }
    }
    trailing_ += stream_.avail_in;
    return length;
  }

  size_t site_;
  Object object_;
  std::string url_;
  CurlHandle handle_;
  DigestContext digest_;
  z_stream stream_;
  bool streamOpen_ = false;
  bool ended_ = false;
  bool broken_ = false;
  bool abandoned_ = false;  // the body was cut off on purpose
  uint64_t inflated_ = 0;
  uint64_t trailing_ = 0;
  char errorText_[CURL_ERROR_SIZE];
};

const char kUsage[] =
    "Usage: brevane-check [options] MANIFEST [SITE_URL...]\n"
    "Fetches every mirror object of the release that MANIFEST (a files.ver path or\n"
    "http:// URL) describes from every site (default: the manifest's SITES),\n"
    "inflates it and compares its size and, when the manifest has them, its\n"
    "SHA-256. Prints one row per site; exits 1 when any object of any site is\n"
    "missing, wrong or could not be fetched, or when installers would refuse a\n"
    "file line of the manifest; 2 on bad usage or an unreadable manifest; 0\n"
    "otherwise. Slow objects are listed but pass.\n"
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

void CollectEntry(void* context, const ManifestEntry& entry, const char*) {
  static_cast<std::vector<ManifestEntry>*>(context)->push_back(entry);
}

// The installer's own rule for a site line (scheme, base URL up to '=').
void CollectSite(void*, char* line) { AddSite(line); }

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

std::string ObjectLabel(const Object& object) {
  char name[kMirrorUrlCapacity * 2];
  MirrorObjectName(name, sizeof name, object.entry.Stamp, object.entry.Size, object.entry.Name,
                   object.monthFolder);
  return name;
}

// Fetches every object from every site, at most options.jobs at once.
bool RunTransfers(const Options& options, const std::vector<Object>& objects,
                  std::vector<SiteResult>* sites) {
  MultiHandle multi(curl_multi_init());
  if (!multi) return false;
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, options.jobs);

  const size_t total = objects.size() * sites->size();
  size_t next = 0;
  std::vector<std::unique_ptr<Transfer>> running;
  auto record = [&](size_t site, Outcome outcome, const std::string& what, bool slow) {
    SiteResult& result = (*sites)[site];
    result.counts[outcome]++;
    if (slow) result.slow++;
    if (!what.empty()) result.problems.push_back(what);
  };
  while (next < total || !running.empty()) {
    // Sites take turns, so that each is asked for its objects all along.
    while (next < total && running.size() < static_cast<size_t>(options.jobs)) {
      size_t site = next % sites->size();
      const Object& object = objects[next / sites->size()];
      next++;
      char url[kMirrorUrlCapacity];
      if (!MirrorObjectUrl(url, sizeof url, (*sites)[site].url.c_str(), object.entry.Stamp,
                           object.entry.Size, object.entry.Name, object.monthFolder)) {
        record(site, kFailed,
               std::string(kOutcomeNames[kFailed]) + "  " + ObjectLabel(object) +
                   ": URL over " + std::to_string(kMirrorUrlCapacity - 1) +
                   " characters, installers cannot fetch it",
               false);
        continue;
      }
      std::unique_ptr<Transfer> transfer(new Transfer(site, object, url));
      if (!transfer->Start(options) ||
          curl_multi_add_handle(multi.get(), transfer->Handle()) != CURLM_OK) {
        fprintf(stderr, "brevane-check: cannot start a transfer (out of memory?)\n");
        return false;
      }
      running.push_back(std::move(transfer));
    }
    int active = 0;
    if (curl_multi_perform(multi.get(), &active) != CURLM_OK) return false;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      for (size_t i = 0; i < running.size(); i++) {
        if (running[i]->Handle() != message->easy_handle) continue;
        std::string detail;
        double seconds = 0;
        Outcome outcome = running[i]->Judge(message->data.result, &detail, &seconds);
        bool slow = outcome == kOk && seconds > options.slowSeconds;
        std::string what;
        if (outcome != kOk) {
          what = std::string(kOutcomeNames[outcome]) + "  " + running[i]->Url() + ": " + detail;
        } else if (slow) {
          char took[32];
          snprintf(took, sizeof took, "%.1f s", seconds);
          what = "slow  " + running[i]->Url() + ": " + took;
        }
        record(running[i]->Site(), outcome, what, slow);
        curl_multi_remove_handle(multi.get(), running[i]->Handle());
        running.erase(running.begin() + static_cast<long>(i));
        break;
      }
    }
    if (active > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK)
      return false;
  }
  return true;
}

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
