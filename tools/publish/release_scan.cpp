// The release scan: walk, name rules, sections.
#include "tools/publish/release_scan.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "manifest/manifest_text.h"
#include "manifest/mirror_name.h"
#include "manifest/reserved_names.h"
#include "tinylib/file_names.h"
#include "tools/common/paths.h"
#include "transfer/protocol.h"
#include "tools/common/text.h"
#include "tools/publish/chunk_store.h"

namespace fs = std::filesystem;

namespace publish {

using tools::EqualNoCaseAscii;
using tools::Quoted;
using tools::UpperAscii;

const char kManifestName[] = "files.ver";
const char kManifestTempPrefix[] = ".files.ver.";
const char kSignatureName[] = "files.ver.sig";

namespace {

const uint64_t kLargestSize = 2147483647;
const int kNameLimit = kManifestNameCapacity - 1;
const int kUrlLimit = kMirrorUrlCapacity - 1;

std::vector<std::string> SplitFolders(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (c == '/' || c == '\\') {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty() && part != ".") parts.push_back(part);
  return parts;
}

// Folder options as component lists below the source, checked to exist.
bool ResolveSectionFolders(const fs::path& source, const std::vector<std::string>& folders,
                           const char* option, std::vector<std::vector<std::string>>* out,
                           std::vector<std::string>* errors) {
  bool ok = true;
  for (const std::string& folder : folders) {
    std::vector<std::string> parts = SplitFolders(folder);
    bool escapes = parts.empty();
    for (const std::string& part : parts)
      if (part == "..") escapes = true;
    std::error_code ec;
    if (escapes || !fs::is_directory(source / fs::path(folder), ec)) {
      errors->push_back(std::string(option) + " " + Quoted(folder) +
                        ": not a folder below the release folder");
      ok = false;
      continue;
    }
    out->push_back(parts);
  }
  return ok;
}

bool StartsWith(const std::vector<std::string>& parts, const std::vector<std::string>& prefix) {
  return prefix.size() <= parts.size() && std::equal(prefix.begin(), prefix.end(), parts.begin());
}

// The site's longest URL for the object (with a month folder) fits the
// installer's 260-character buffer.
bool UrlFits(const SiteOption& site, const FileEntry& file) {
  size_t length = site.url.size() + (site.url.back() == '/' ? 0 : 1) + file.folder.size() + 1 +
                  file.object.size();
  return length <= static_cast<size_t>(kUrlLimit);
}

}  // namespace

bool ResolveLayout(const Options& options, ReleaseLayout* layout,
                   std::vector<std::string>* errorList) {
  std::vector<std::string>& errors = *errorList;
  std::error_code ec;
  fs::path source = fs::canonical(options.source, ec);
  if (ec || !fs::is_directory(source)) {
    errors.push_back(Quoted(options.source) + ": not a folder");
    return false;
  }
  fs::path out = options.out.empty() ? source : fs::path(options.out);
  fs::create_directories(out, ec);
  out = fs::canonical(out, ec);
  if (ec) {
    errors.push_back(Quoted(options.out) + ": cannot make the output folder");
    return false;
  }
  if (!options.mirror.empty()) {
    fs::path mirror = fs::weakly_canonical(options.mirror, ec);
    if (ec || tools::IsInside(mirror, source)) {
      errors.push_back(Quoted(options.mirror) +
                       ": the mirror folder must lie outside the release folder");
      return false;
    }
  }

  std::vector<std::vector<std::string>> serverOnly, onDemand;
  bool foldersOk = ResolveSectionFolders(source, options.serverOnly, "--serveronly", &serverOnly, &errors);
  foldersOk = ResolveSectionFolders(source, options.onDemand, "--ondemand", &onDemand, &errors) && foldersOk;
  for (const auto& a : serverOnly)
    for (const auto& b : onDemand)
      if (a == b) {
        errors.push_back("a folder is named by both --serveronly and --ondemand");
        foldersOk = false;
      }
  if (!foldersOk) return false;
  layout->source = source;
  layout->out = out;
  layout->serverOnly = serverOnly;
  layout->onDemand = onDemand;
  return true;
}

bool ScanRelease(const ReleaseLayout& layout, std::vector<FileEntry>* files,
                 std::vector<std::string>* errorList) {
  std::vector<std::string>& errors = *errorList;
  const fs::path& source = layout.source;
  std::error_code ec;
  fs::recursive_directory_iterator walk(source, ec), end;
  if (ec) {
    errors.push_back(Quoted(source.string()) + ": cannot list: " + ec.message());
    return false;
  }
  for (; walk != end; walk.increment(ec)) {
    if (ec) {
      errors.push_back("cannot list " + Quoted(source.string()) + ": " + ec.message());
      return false;
    }
    const fs::path& path = walk->path();
    fs::path relative = path.lexically_relative(source);
    std::vector<std::string> parts;
    for (const auto& part : relative) parts.push_back(part.string());
    std::string name;
    for (const std::string& part : parts) {
      if (part.find('\\') != std::string::npos) {
        errors.push_back(Quoted(relative.string()) + ": '\\' inside a file or folder name");
        name.clear();
        break;
      }
      name += (name.empty() ? "" : "\\") + part;
    }
    std::error_code typeError;
    bool isLink = walk->is_symlink(typeError);
    fs::file_status status = fs::status(path, typeError);
    if (fs::is_directory(status)) {
      if (isLink) errors.push_back(Quoted(relative.string()) + ": link to a folder, not followed");
      continue;
    }
    if (path.parent_path() == layout.out) {
      std::string leaf = path.filename().string();
      if (leaf == kManifestName || leaf == kSignatureName || leaf == kChunkIndexName ||
          leaf == kChunkIndexSignatureName || leaf.compare(0, strlen(kManifestTempPrefix), kManifestTempPrefix) == 0)
        continue;
    }
    if (parts.size() == 1 && (EqualNoCaseAscii(parts[0], kManifestName) ||
                              EqualNoCaseAscii(parts[0], kSignatureName) ||
                              EqualNoCaseAscii(parts[0], kChunkIndexName) ||
                              EqualNoCaseAscii(parts[0], kChunkIndexSignatureName)))
      continue;
    if (name.empty()) continue;  // refused above
    if (!fs::is_regular_file(status)) {
      errors.push_back(Quoted(name) + ": not a regular file");
      continue;
    }
    // The session host serves nothing that leads outside its folder.
    if (isLink && !tools::IsInside(fs::canonical(path, typeError), source)) {
      errors.push_back(Quoted(name) + ": link to a file outside the release folder");
      continue;
    }
    if (access(path.c_str(), R_OK) != 0) {
      errors.push_back(Quoted(name) + ": cannot be read: " + strerror(errno));
      continue;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      errors.push_back(Quoted(name) + ": " + strerror(errno));
      continue;
    }
    FileEntry file;
    file.name = name;
    file.path = path;
    file.size = static_cast<uint64_t>(info.st_size);
    file.mtime = info.st_mtim;
    std::string refusal = NameRefusal(name);
    if (!refusal.empty()) {
      errors.push_back(Quoted(name) + ": " + refusal);
      continue;
    }
    if (file.size > kLargestSize) {
      errors.push_back(Quoted(name) + ": larger than 2147483647 bytes");
      continue;
    }
    if (!DosStampOfTime(info.st_mtim.tv_sec, &file.stamp)) {
      errors.push_back(Quoted(name) + ": last-write time outside 1980..2107 (no DOS date)");
      continue;
    }
    size_t deepest = 0;
    for (const auto& folder : layout.serverOnly)
      if (folder.size() > deepest && StartsWith(parts, folder)) {
        deepest = folder.size();
        file.section = Section::ServerOnly;
      }
    for (const auto& folder : layout.onDemand)
      if (folder.size() > deepest && StartsWith(parts, folder)) {
        deepest = folder.size();
        file.section = Section::OnDemand;
      }
    char object[kMirrorUrlCapacity];
    char folder[kMonthFolderCapacity];
    MirrorObjectName(object, sizeof object, file.stamp, static_cast<int32_t>(file.size),
                     name.c_str(), false);
    MirrorMonthFolder(file.stamp, folder);
    file.object = object;
    file.folder = folder;
    files->push_back(file);
  }
  std::sort(files->begin(), files->end(),
            [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return true;
}

void CheckClashes(const std::vector<FileEntry>& files, const Options& options,
                  std::vector<std::string>* errorList) {
  std::vector<std::string>& errors = *errorList;
  // Windows sees names that differ only in case as one file; mirror objects
  // of different files must not share a name either.
  std::map<std::string, std::string> byUpperName, byObject;
  for (const FileEntry& f : files) {
    auto named = byUpperName.emplace(UpperAscii(f.name), f.name);
    if (!named.second)
      errors.push_back(Quoted(f.name) + ": same name as " + Quoted(named.first->second) +
                       " on Windows (letter case)");
    if (options.mirror.empty() && options.sites.empty()) continue;
    auto object = byObject.emplace(UpperAscii(f.object), f.name);
    if (!object.second && named.second)
      errors.push_back(Quoted(f.name) + ": same mirror object " + f.object + " as " +
                       Quoted(object.first->second));
    for (const SiteOption& site : options.sites)
      if (!UrlFits(site, f))
        errors.push_back(Quoted(f.name) + ": its URL on " + site.url + " would pass " +
                         std::to_string(kUrlLimit) + " characters");
  }
}

bool DosStampOfTime(int64_t seconds, uint32_t* stamp) {
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  if (gmtime_r(&t, &utc) == nullptr) return false;
  int year = utc.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  *stamp = static_cast<uint32_t>(year - 1980) << 25 | static_cast<uint32_t>(utc.tm_mon + 1) << 21 |
           static_cast<uint32_t>(utc.tm_mday) << 16 | static_cast<uint32_t>(utc.tm_hour) << 11 |
           static_cast<uint32_t>(utc.tm_min) << 5 | static_cast<uint32_t>(utc.tm_sec / 2);
  return true;
}

std::string NameRefusal(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name.size() > static_cast<size_t>(kNameLimit))
    return "name longer than " + std::to_string(kNameLimit) + " characters";
  if (name[0] == '[') return "begins with '[', which files.ver reads as a section header";
  if (name.find('=') != std::string::npos) return "contains '=', which ends a name in files.ver";
  // A shipped "linkfiles" would steer the uninstall to other programs' files.
  if (IsReservedInstallName(name.c_str()))
    return "reserved: the installer writes linkfiles, install.txt, PARAMS.CFG and "
           "Pellinor.staging (or a short name that may stand for one) in the install folder "
           "itself";
  std::string part;
  for (size_t i = 0; i <= name.size(); i++) {
    if (i < name.size() && name[i] != '\\') {
      part += name[i];
      continue;
    }
    if (part.empty()) return "empty folder name";
    if (part == "." || part == "..") return "'.' or '..' as a folder";
    if (part.back() == '.' || part.back() == ' ') return "a name part ends in a dot or space";
    if (IsReservedDeviceName(part.c_str(), static_cast<int>(part.size())))
      return "reserved device name " + Quoted(part);
    for (char ch : part) {
      unsigned char c = static_cast<unsigned char>(ch);
      if (c < 0x20 || c == 0x7F) return "control character";
      if (c >= 0x80) return "non-ASCII character (the installer reads names in the Windows code page)";
      if (strchr("<>:\"/|?*", c) != nullptr)
        return std::string("character '") + ch + "', which Windows forbids in names";
    }
    part.clear();
  }
  // The installer's own test, in case the rules above ever drift from it.
  if (!IsSafeRelativeName(name.c_str())) return "not a plain relative path";
  return "";
}

}  // namespace publish
