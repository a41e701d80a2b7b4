// The release scan: walk, name rules, sections.
#include "tools/publish/release_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "manifest/manifest_text.h"
#include "manifest/mirror_name.h"
#include "manifest/reserved_names.h"
#include "tinylib/file_names.h"
#include "tools/common/beneath.h"
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
  std::string canonical;
  tools::UniqueFd sourceFd(tools::OpenRoot(options.source, &canonical));
  if (!sourceFd.valid()) {
    errors.push_back(Quoted(options.source) + ": not a folder");
    return false;
  }
  fs::path source = canonical;
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
  layout->sourceFd = std::move(sourceFd);
  layout->source = source;
  layout->out = out;
  layout->serverOnly = serverOnly;
  layout->onDemand = onDemand;
  return true;
}

namespace {

// The walk of ScanRelease: one folder at a time, from its descriptor.
class Scan {
 public:
  Scan(const ReleaseLayout& layout, std::vector<FileEntry>* files,
       std::vector<std::string>* errors)
      : layout_(layout), files_(*files), errors_(*errors) {
    fs::path out = layout.out.lexically_relative(layout.source);
    outInside_ = !out.empty() && tools::IsInside(layout.out, layout.source);
    if (outInside_)
      for (const auto& part : out)
        if (part != ".") outParts_.push_back(part.string());
  }

  // False when the folder could not be listed.
  bool Folder(int folderFd, const std::vector<std::string>& parts);

 private:
  void Entry(int folderFd, const std::vector<std::string>& parts, const char* leaf);
  void AddFile(int fileFd, const std::string& name, const std::vector<std::string>& parts);

  const ReleaseLayout& layout_;
  std::vector<FileEntry>& files_;
  std::vector<std::string>& errors_;
  bool outInside_ = false;
  std::vector<std::string> outParts_;
};

std::string JoinParts(const std::vector<std::string>& parts, char separator) {
  std::string joined;
  for (const std::string& part : parts) {
    if (!joined.empty()) joined += separator;
    joined += part;
  }
  return joined;
}

bool Scan::Folder(int folderFd, const std::vector<std::string>& parts) {
  int listFd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  std::string shown = parts.empty() ? layout_.source.string() : JoinParts(parts, '/');
  if (list == nullptr) {
    int error = errno;
    if (listFd >= 0) close(listFd);
    errors_.push_back("cannot list " + Quoted(shown) + ": " + strerror(error));
    return false;
  }
  std::vector<std::string> leaves;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(list);
    if (entry == nullptr) break;
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      leaves.push_back(entry->d_name);
  }
  int error = errno;
  closedir(list);
  if (error != 0) {
    errors_.push_back("cannot list " + Quoted(shown) + ": " + strerror(error));
    return false;
  }
  for (const std::string& leaf : leaves) Entry(folderFd, parts, leaf.c_str());
  return true;
}

void Scan::Entry(int folderFd, const std::vector<std::string>& folderParts, const char* leaf) {
  std::vector<std::string> parts = folderParts;
  parts.push_back(leaf);
  const std::string relative = JoinParts(parts, '/');
  if (strchr(leaf, '\\') != nullptr) {
    errors_.push_back(Quoted(relative) + ": '\\' inside a file or folder name");
    return;
  }
  struct stat seen;
  if (fstatat(folderFd, leaf, &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    errors_.push_back(Quoted(relative) + ": " + strerror(errno));
    return;
  }
  if (S_ISDIR(seen.st_mode)) {
    // Every file below would be refused for its length; stop the descent.
    if (relative.size() >= static_cast<size_t>(kNameLimit)) {
      errors_.push_back(Quoted(relative) + ": folder name longer than " +
                        std::to_string(kNameLimit) + " characters");
      return;
    }
    tools::UniqueFd sub(openat(folderFd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.valid()) {
      bool swapped = errno == ELOOP || errno == ENOTDIR;
      errors_.push_back(Quoted(relative) +
                        (swapped ? ": replaced while it was being scanned"
                                 : ": cannot open: " + std::string(strerror(errno))));
      return;
    }
    Folder(sub.get(), parts);
    return;
  }
  if (outInside_ && folderParts == outParts_ &&
      (strcmp(leaf, kManifestName) == 0 || strcmp(leaf, kSignatureName) == 0 ||
       strcmp(leaf, kChunkIndexName) == 0 || strcmp(leaf, kChunkIndexSignatureName) == 0 ||
       strncmp(leaf, kManifestTempPrefix, strlen(kManifestTempPrefix)) == 0))
    return;
  if (parts.size() == 1 &&
      (EqualNoCaseAscii(leaf, kManifestName) || EqualNoCaseAscii(leaf, kSignatureName) ||
       EqualNoCaseAscii(leaf, kChunkIndexName) || EqualNoCaseAscii(leaf, kChunkIndexSignatureName)))
    return;
  const std::string name = JoinParts(parts, '\\');
  if (S_ISLNK(seen.st_mode)) {
    // The session host follows no link, so none is published.
    errors_.push_back(Quoted(name) + ": a link, not followed (replace it with the file or folder)");
    return;
  }
  if (!S_ISREG(seen.st_mode)) {
    errors_.push_back(Quoted(name) + ": not a regular file");
    return;
  }
  tools::UniqueFd file(openat(folderFd, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid()) {
    bool swapped = errno == ELOOP;
    errors_.push_back(Quoted(name) +
                      (swapped ? ": replaced by a link while it was being scanned"
                               : ": cannot be read: " + std::string(strerror(errno))));
    return;
  }
  AddFile(file.get(), name, parts);
}

// Judges the opened file on its descriptor and lists it.
void Scan::AddFile(int fileFd, const std::string& name, const std::vector<std::string>& parts) {
  struct stat info;
  if (fstat(fileFd, &info) != 0) {
    errors_.push_back(Quoted(name) + ": " + strerror(errno));
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    errors_.push_back(Quoted(name) + ": not a regular file");
    return;
  }
  FileEntry file;
  file.name = name;
  file.relative = JoinParts(parts, '/');
  file.identity = tools::IdentityOf(info);
  file.size = static_cast<uint64_t>(info.st_size);
  std::string refusal = NameRefusal(name);
  if (!refusal.empty()) {
    errors_.push_back(Quoted(name) + ": " + refusal);
    return;
  }
  if (file.size > kLargestSize) {
    errors_.push_back(Quoted(name) + ": larger than 2147483647 bytes");
    return;
  }
  if (!DosStampOfTime(info.st_mtim.tv_sec, &file.stamp)) {
    errors_.push_back(Quoted(name) + ": last-write time outside 1980..2107 (no DOS date)");
    return;
  }
  size_t deepest = 0;
  for (const auto& folder : layout_.serverOnly)
    if (folder.size() > deepest && StartsWith(parts, folder)) {
      deepest = folder.size();
      file.section = Section::ServerOnly;
    }
  for (const auto& folder : layout_.onDemand)
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
  files_.push_back(file);
}

}  // namespace

bool ScanRelease(const ReleaseLayout& layout, std::vector<FileEntry>* files,
                 std::vector<std::string>* errors) {
  Scan scan(layout, files, errors);
  if (!scan.Folder(layout.sourceFd.get(), {})) return false;
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
