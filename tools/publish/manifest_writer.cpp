// The manifest writer.
#include "tools/publish/manifest_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "manifest/manifest_text.h"
#include "manifest/sites.h"
#include "tools/common/fd.h"
#include "tools/common/temp_file.h"

namespace fs = std::filesystem;

namespace publish {

using tools::ReadSome;
using tools::TempFile;
using tools::UniqueFd;
using tools::WriteAll;

namespace {

const char kLineEnd[] = "\r\n";
// The installer reads at most this much of a manifest from a URL or a file.
const size_t kManifestLimit = kManifestReadLimit;
const size_t kBlockSize = 256 * 1024;

struct ReadBack {
  std::vector<ManifestEntry> entries;
  std::vector<std::string> sites;
};

void ListEntry(void* context, const ManifestEntry& entry, const char*) {
  static_cast<ReadBack*>(context)->entries.push_back(entry);
}

void ListSite(void* context, char* line) { static_cast<ReadBack*>(context)->sites.push_back(line); }

// Reads the text back with the installer's own parser: every file and site
// must come out exactly as written.
bool InstallerReadsBack(const std::string& text, const std::vector<FileEntry>& files,
                        const Options& options) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  ReadBack back;
  const std::vector<ManifestEntry>& read = back.entries;
  ManifestSettings settings = {0x0E, 0, "", ""};
  ManifestSink sink = {&back, nullptr, ListEntry, ListSite};
  ParseManifestText(buffer.data(), static_cast<int32_t>(text.size()), false, settings, sink);
  bool same = read.size() == files.size() && back.sites.size() == options.sites.size();
  // Both lists are in section order, then name order.
  std::vector<const FileEntry*> written;
  for (Section s : {Section::Client, Section::ServerOnly, Section::OnDemand})
    for (const FileEntry& f : files)
      if (f.section == s) written.push_back(&f);
  for (size_t i = 0; same && i < read.size(); i++) {
    same = written[i]->name == read[i].Name && written[i]->size == uint64_t(read[i].Size) &&
           written[i]->stamp == read[i].Stamp;
  }
  for (size_t i = 0; same && i < back.sites.size(); i++) {
    const SiteOption& site = options.sites[i];
    same = back.sites[i] == site.url + (site.threads.empty() ? "" : "=" + site.threads);
  }
  return same;
}

}  // namespace

std::string ManifestText(const std::vector<FileEntry>& files, const Options& options) {
  std::string text;
  const struct {
    Section section;
    const char* header;
    bool always;
  } kSections[] = {{Section::Client, "[CLIENT]", true},
                   {Section::ServerOnly, "[SERVERONLY]", false},
                   {Section::OnDemand, "[ONDEMAND]", false}};
  for (const auto& s : kSections) {
    bool any = std::any_of(files.begin(), files.end(),
                           [&](const FileEntry& f) { return f.section == s.section; });
    if (!any && !s.always) continue;
    text += std::string(s.header) + kLineEnd;
    for (const FileEntry& f : files) {
      if (f.section != s.section) continue;
      text += f.name + "=" + std::to_string(f.size) + "," + std::to_string(f.stamp) + kLineEnd;
    }
  }
  if (!options.sites.empty()) {
    text += std::string("[SITES]") + kLineEnd;
    for (const SiteOption& site : options.sites)
      text += site.url + (site.threads.empty() ? "" : "=" + site.threads) + kLineEnd;
  }
  return text;
}

void CheckManifest(const std::string& text, const std::vector<FileEntry>& files,
                   const Options& options, std::vector<std::string>* errors) {
  if (text.size() > kManifestLimit)
    errors->push_back("files.ver would be " + std::to_string(text.size()) +
                      " bytes; the installer reads at most " + std::to_string(kManifestLimit));
  if (errors->empty() && !InstallerReadsBack(text, files, options))
    errors->push_back("files.ver would not read back as written (internal error)");
}

bool WriteManifest(const fs::path& target, const std::string& text, std::string* error) {
  std::error_code ec;
  if (fs::is_regular_file(target, ec)) {
    UniqueFd in(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    std::string old;
    std::vector<char> buffer(kBlockSize);
    ssize_t n;
    while (in.get() >= 0 && (n = ReadSome(in.get(), buffer.data(), buffer.size())) > 0)
      old.append(buffer.data(), static_cast<size_t>(n));
    if (in.get() >= 0 && old == text) return true;
  }
  TempFile temp;
  UniqueFd out(tools::CreateTempIn(target.parent_path().string(), kManifestTempPrefix, &temp));
  if (!out.valid()) {
    *error = "cannot create a temporary file in " + target.parent_path().string() + ": " +
             strerror(errno);
    return false;
  }
  if (!WriteAll(out.get(), text.data(), text.size()) || fchmod(out.get(), 0644) != 0 ||
      fsync(out.get()) != 0 || !out.CloseChecked()) {
    *error = "cannot write " + temp.path() + ": " + strerror(errno);
    return false;
  }
  if (rename(temp.path().c_str(), target.c_str()) != 0) {
    *error = "cannot rename to " + target.string() + ": " + strerror(errno);
    return false;
  }
  temp.Keep();
  return true;
}

}  // namespace publish
