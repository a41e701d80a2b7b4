// The manifest writer.
#include "tools/publish/manifest_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "manifest/manifest_text.h"
#include "manifest/signature_text.h"
#include "manifest/sites.h"
#include "tools/common/fd.h"
#include "tools/common/temp_file.h"
#include "tools/common/text.h"
#include "tools/publish/signing.h"

namespace fs = std::filesystem;

namespace publish {

using tools::Quoted;
using tools::ReadSome;
using tools::TempFile;
using tools::UniqueFd;
using tools::WriteAll;

namespace {

const char kLineEnd[] = "\r\n";
const size_t kBlockSize = 256 * 1024;
// Every section, as the installer's parser numbers them.
const uint8_t kAllSections = 0x0E;

// Reads the whole file when it is at most limit bytes. *present is false
// (and the result true) when there is no such file.
bool ReadWhole(const fs::path& path, size_t limit, bool* present, std::string* data,
               std::string* error) {
  *present = false;
  UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    if (errno == ENOENT) return true;
    *error = Quoted(path.string()) + ": " + strerror(errno);
    return false;
  }
  *present = true;
  std::vector<char> buffer(kBlockSize);
  for (;;) {
    ssize_t n = ReadSome(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      *error = Quoted(path.string()) + ": " + strerror(errno);
      return false;
    }
    if (n == 0) return true;
    data->append(buffer.data(), static_cast<size_t>(n));
    if (data->size() > limit) {
      *error = Quoted(path.string()) + ": over " + std::to_string(limit) +
               " bytes, so not written by this publisher; move it away";
      return false;
    }
  }
}

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
  ManifestSettings settings = {kAllSections, 0, "", ""};
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
           written[i]->stamp == read[i].Stamp && read[i].HasHash &&
           memcmp(written[i]->hash, read[i].Hash, kSha256Size) == 0;
  }
  for (size_t i = 0; same && i < back.sites.size(); i++) {
    const SiteOption& site = options.sites[i];
    same = back.sites[i] == site.url + (site.threads.empty() ? "" : "=" + site.threads);
  }
  return same;
}

void CollectPrevious(void* context, const ManifestEntry& entry, const char*) {
  PreviousEntry previous;
  previous.size = static_cast<uint64_t>(entry.Size);
  previous.stamp = entry.Stamp;
  previous.hasHash = entry.HasHash;
  memcpy(previous.hash, entry.Hash, kSha256Size);
  (*static_cast<std::map<std::string, PreviousEntry>*>(context))[tools::UpperAscii(entry.Name)] =
      previous;
}

}  // namespace

bool PrepareFile(const fs::path& folder, const std::string& text, TempFile* temp,
                 std::string* error) {
  UniqueFd out(tools::CreateTempIn(folder.string(), kManifestTempPrefix, temp));
  if (!out.valid()) {
    *error = "cannot create a temporary file in " + folder.string() + ": " + strerror(errno);
    return false;
  }
  if (!WriteAll(out.get(), text.data(), text.size()) || fchmod(out.get(), 0644) != 0 ||
      fsync(out.get()) != 0 || !out.CloseChecked()) {
    *error = "cannot write " + temp->path() + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool RenameInto(TempFile* temp, const fs::path& target, std::string* error) {
  if (rename(temp->path().c_str(), target.c_str()) != 0) {
    *error = "cannot rename to " + target.string() + ": " + strerror(errno);
    return false;
  }
  temp->Keep();
  return true;
}

bool ReadPreviousRelease(const fs::path& out, PreviousRelease* previous,
                         std::vector<std::string>* errors) {
  std::string error;
  const size_t limit = kManifestSizeLimit;
  if (!ReadWhole(out / kManifestName, limit, &previous->manifestPresent,
                 &previous->manifestText, &error)) {
    errors->push_back("previous " + error);
    return false;
  }
  if (previous->manifestPresent) {
    std::vector<char> buffer(previous->manifestText.begin(), previous->manifestText.end());
    buffer.push_back(0);
    ManifestSettings settings = {kAllSections, 0, "", ""};
    ManifestSink sink = {&previous->entries, nullptr, CollectPrevious, nullptr};
    ParseManifestText(buffer.data(), static_cast<int32_t>(previous->manifestText.size()), false,
                      settings, sink);
  }
  std::string sig;
  if (!ReadWhole(out / kSignatureName, kSignatureTextLimit, &previous->signaturePresent, &sig,
                 &error)) {
    errors->push_back("previous " + error);
    return false;
  }
  previous->signatureText = sig;
  ReleaseSignature read;
  if (previous->signaturePresent &&
      ParseSignatureText(sig.data(), static_cast<int32_t>(sig.size()), &read) == kSignatureTextOk) {
    previous->signatureReadable = true;
    previous->serial = read.Serial;
  }
  return true;
}

bool Vouches(const PreviousRelease& previous, const FileEntry& file) {
  auto found = previous.entries.find(tools::UpperAscii(file.name));
  return found != previous.entries.end() && found->second.size == file.size &&
         found->second.stamp == file.stamp && found->second.hasHash &&
         memcmp(found->second.hash, file.hash, kSha256Size) == 0;
}

void CheckStale(const std::vector<FileEntry>& files, const PreviousRelease& previous,
                std::vector<std::string>* errors) {
  for (const FileEntry& file : files) {
    auto found = previous.entries.find(tools::UpperAscii(file.name));
    if (found == previous.entries.end()) continue;
    const PreviousEntry& old = found->second;
    if (old.size != file.size || old.stamp != file.stamp || !old.hasHash ||
        memcmp(old.hash, file.hash, kSha256Size) == 0)
      continue;
    errors->push_back(Quoted(file.name) +
                      ": content changed but size and last-write time did not (SHA-256 " +
                      Sha256Hex(old.hash) + " before, " + Sha256Hex(file.hash) +
                      " now); installed copies would look up to date and keep the old bytes. "
                      "Give the file a new last-write time (touch it) and publish again");
  }
}

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
      text += f.name + "=" + std::to_string(f.size) + "," + std::to_string(f.stamp) + "," +
              Sha256Hex(f.hash) + kLineEnd;
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
                   const Options& options, std::vector<std::string>* errors,
                   std::vector<std::string>* warnings) {
  const size_t limit = kManifestSizeLimit;
  if (text.size() > limit) {
    errors->push_back("files.ver would be " + std::to_string(text.size()) +
                      " bytes; installers read at most " + std::to_string(limit));
  } else if (text.size() > static_cast<size_t>(kManifestReadLimit)) {
    warnings->push_back("files.ver is " + std::to_string(text.size()) +
                        " bytes; installers of the earlier kind read only the first " +
                        std::to_string(kManifestReadLimit) +
                        " and miss the files listed after that");
  }
  if (errors->empty() && !InstallerReadsBack(text, files, options))
    errors->push_back("files.ver would not read back as written (internal error)");
}

bool WriteRelease(const fs::path& folder, const std::string& manifest,
                  const std::string& signature, std::string* error) {
  const fs::path target = folder / kManifestName;
  bool present = false;
  std::string old;
  std::string ignored;
  bool unchanged = ReadWhole(target, manifest.size(), &present, &old, &ignored) && present &&
                   old == manifest;
  TempFile manifestTemp, signatureTemp;
  if (!unchanged && !PrepareFile(folder, manifest, &manifestTemp, error)) return false;
  if (!signature.empty() && !PrepareFile(folder, signature, &signatureTemp, error)) return false;
  if (!unchanged && !RenameInto(&manifestTemp, target, error)) return false;
  return signature.empty() || RenameInto(&signatureTemp, folder / kSignatureName, error);
}

}  // namespace publish
