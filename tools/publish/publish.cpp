// The publisher: scan, check, compress, write. Everything the installer
// could not fetch or install is refused before anything is written, and
// files.ver is replaced only after every mirror object it names is in place,
// so a server never offers a manifest whose objects are missing.
#include "tools/publish/publish.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "manifest/manifest_text.h"
#include "manifest/mirror_name.h"
#include "manifest/sites.h"
#include "transfer/protocol.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

const char kManifestName[] = "files.ver";
const char kManifestTempPrefix[] = ".files.ver.";
const char kLineEnd[] = "\r\n";
// The installer reads at most this much of a manifest from a URL or a file.
const size_t kManifestLimit = kManifestReadLimit;
const uint64_t kLargestSize = 2147483647;
const int kNameLimit = kManifestNameCapacity - 1;
const int kUrlLimit = kMirrorUrlCapacity - 1;
const long kMaxThreads = kMaxSiteThreads;
// I/O block of the compressor and the verifier.
const size_t kBlockSize = 256 * 1024;
// The shortest zlib stream (of an empty file) is 8 bytes; anything shorter
// under an object's name is a broken object.
const off_t kSmallestObject = 8;
const int kCompressionLevel = 9;

struct FileEntry {
  std::string name;  // '\'-separated, as in files.ver
  fs::path path;     // where it is read from
  Section section = Section::Client;
  uint64_t size = 0;
  uint32_t stamp = 0;
  struct timespec mtime {};
  std::string object;  // mirror object name without the month folder
  std::string folder;  // month folder
};

bool EqualNoCaseAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

bool IsDeviceName(const std::string& component) {
  std::string base = UpperAscii(component.substr(0, component.find('.')));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (base == device) return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return true;
  return false;
}

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

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

// Reads or writes all of count bytes; false on any failure.
bool WriteAll(int fd, const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t ReadSome(int fd, void* data, size_t count) {
  for (;;) {
    ssize_t n = read(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  bool CloseChecked() {
    int f = fd;
    fd = -1;
    return close(f) == 0;
  }
};

// Removes a temporary file unless it was renamed into place.
struct TempFile {
  std::string path;
  bool keep = false;
  ~TempFile() {
    if (!keep && !path.empty()) unlink(path.c_str());
  }
};

std::string TempPathFor(const std::string& target, unsigned worker) {
  fs::path p(target);
  return (p.parent_path() / (".tmp-" + p.filename().string() + "-" + std::to_string(getpid()) +
                             "-" + std::to_string(worker)))
      .string();
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Compresses the file into target as one zlib stream (level 9, default
// window and memory: what compress2 makes), streaming so that large files are
// never held whole. The file must still be what the scan saw.
bool CompressFile(const FileEntry& file, const std::string& target, unsigned worker,
                  std::string* error) {
  Fd in(open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) {
    *error = "cannot open: " + std::string(strerror(errno));
    return false;
  }
  TempFile temp;
  temp.path = TempPathFor(target, worker);
  unlink(temp.path.c_str());
  Fd out(open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.fd < 0) {
    *error = "cannot create " + temp.path + ": " + strerror(errno);
    return false;
  }
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit(&z, kCompressionLevel) != Z_OK) {
    *error = "deflateInit failed";
    return false;
  }
  std::vector<unsigned char> inBuffer(kBlockSize), outBuffer(kBlockSize);
  uint64_t total = 0;
  bool ok = true;
  int flush = Z_NO_FLUSH;
  while (ok && flush != Z_FINISH) {
    ssize_t n = ReadSome(in.fd, inBuffer.data(), inBuffer.size());
    if (n < 0) {
      *error = "read failed: " + std::string(strerror(errno));
      ok = false;
      break;
    }
    total += static_cast<uint64_t>(n);
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = inBuffer.data();
    z.avail_in = static_cast<uInt>(n);
    int rc;
    do {
      z.next_out = outBuffer.data();
      z.avail_out = static_cast<uInt>(outBuffer.size());
      rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) {
        *error = "deflate failed";
        ok = false;
        break;
      }
      size_t produced = outBuffer.size() - z.avail_out;
      if (produced > 0 && !WriteAll(out.fd, outBuffer.data(), produced)) {
        *error = "cannot write " + temp.path + ": " + strerror(errno);
        ok = false;
        break;
      }
    } while (z.avail_out == 0);
    if (ok && flush == Z_FINISH && rc != Z_STREAM_END) {
      *error = "deflate did not finish";
      ok = false;
    }
  }
  deflateEnd(&z);
  if (!ok) return false;

  struct stat after;
  if (fstat(in.fd, &after) != 0 || total != file.size ||
      static_cast<uint64_t>(after.st_size) != file.size || !SameTime(after.st_mtim, file.mtime)) {
    *error = "changed while it was being published; run again";
    return false;
  }
  if (!out.CloseChecked()) {
    *error = "cannot write " + temp.path + ": " + strerror(errno);
    return false;
  }
  if (rename(temp.path.c_str(), target.c_str()) != 0) {
    *error = "cannot rename to " + target + ": " + strerror(errno);
    return false;
  }
  temp.keep = true;
  return true;
}

// True when the object is one complete zlib stream that inflates to exactly
// size bytes with nothing after it.
bool InflatesTo(const std::string& object, uint64_t size) {
  Fd in(open(object.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return false;
  std::vector<unsigned char> inBuffer(kBlockSize), outBuffer(kBlockSize);
  uint64_t total = 0;
  int rc = Z_OK;
  bool ok = true;
  while (ok && rc != Z_STREAM_END) {
    ssize_t n = ReadSome(in.fd, inBuffer.data(), inBuffer.size());
    if (n <= 0) {
      ok = false;
      break;
    }
    z.next_in = inBuffer.data();
    z.avail_in = static_cast<uInt>(n);
    while (ok && z.avail_in > 0 && rc != Z_STREAM_END) {
      z.next_out = outBuffer.data();
      z.avail_out = static_cast<uInt>(outBuffer.size());
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) ok = false;
      total += outBuffer.size() - z.avail_out;
      if (total > size) ok = false;
    }
    // Bytes after the end of the stream make it something else.
    if (rc == Z_STREAM_END && (z.avail_in > 0 || ReadSome(in.fd, inBuffer.data(), 1) != 0))
      ok = false;
  }
  inflateEnd(&z);
  return ok && total == size;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.fd < 0) return false;
  std::vector<char> buffer(kBlockSize);
  for (;;) {
    ssize_t n = ReadSome(in.fd, buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(out.fd, buffer.data(), static_cast<size_t>(n))) return false;
  }
  return out.CloseChecked();
}

bool IsUsableObject(const std::string& path, struct stat* info) {
  return stat(path.c_str(), info) == 0 && S_ISREG(info->st_mode) &&
         info->st_size >= kSmallestObject;
}

class MirrorWriter {
 public:
  MirrorWriter(const Options& options, Report* report) : options_(options), report_(report) {}

  // Makes the month-folder object and the top-level name of every file.
  void Run(const std::vector<FileEntry>& files) {
    unsigned jobs = options_.jobs != 0 ? options_.jobs : std::thread::hardware_concurrency();
    if (jobs == 0) jobs = 1;
    if (jobs > files.size()) jobs = static_cast<unsigned>(std::max<size_t>(files.size(), 1));
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned worker = 0; worker < jobs; worker++) {
      pool.emplace_back([&, worker] {
        for (size_t i = next++; i < files.size(); i = next++) Place(files[i], worker);
      });
    }
    for (auto& thread : pool) thread.join();
  }

 private:
  void Fail(const FileEntry& file, const std::string& what) {
    std::lock_guard<std::mutex> hold(lock_);
    report_->errors.push_back(Quoted(file.name) + ": mirror object: " + what);
  }

  void Count(size_t Report::*counter) {
    std::lock_guard<std::mutex> hold(lock_);
    ++(report_->*counter);
  }

  void Place(const FileEntry& file, unsigned worker) {
    fs::path root(options_.mirror);
    std::string monthPath = (root / file.folder / file.object).string();
    std::string topPath = (root / file.object).string();

    // Same name means same stamp, size and path, so an object that is there
    // is this file's object; --verify also proves it inflates to the size.
    struct stat month;
    bool keepMonth = IsUsableObject(monthPath, &month) &&
                     (!options_.verify || InflatesTo(monthPath, file.size));
    if (keepMonth) {
      Count(&Report::objectsKept);
    } else {
      std::string error;
      if (!CompressFile(file, monthPath, worker, &error)) {
        Fail(file, error);
        return;
      }
      if (stat(monthPath.c_str(), &month) != 0) {
        Fail(file, "vanished after writing");
        return;
      }
      Count(&Report::objectsWritten);
    }

    struct stat top;
    if (keepMonth && IsUsableObject(topPath, &top) &&
        ((top.st_dev == month.st_dev && top.st_ino == month.st_ino) ||
         (top.st_size == month.st_size &&
          (!options_.verify || InflatesTo(topPath, file.size))))) {
      Count(&Report::topKept);
      return;
    }
    TempFile temp;
    temp.path = TempPathFor(topPath, worker);
    unlink(temp.path.c_str());
    bool linked = link(monthPath.c_str(), temp.path.c_str()) == 0;
    if (!linked && !CopyFileTo(monthPath, temp.path)) {
      Fail(file, "cannot link or copy to " + topPath + ": " + strerror(errno));
      return;
    }
    if (rename(temp.path.c_str(), topPath.c_str()) != 0) {
      Fail(file, "cannot rename to " + topPath + ": " + strerror(errno));
      return;
    }
    temp.keep = true;
    Count(linked ? &Report::topLinked : &Report::topCopied);
  }

  const Options& options_;
  Report* report_;
  std::mutex lock_;
};

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

// Writes files.ver through a temporary file and a rename, so that readers
// see the old manifest or the new one, never a part. An identical manifest
// is left untouched.
bool WriteManifest(const fs::path& target, const std::string& text, std::string* error) {
  std::error_code ec;
  if (fs::is_regular_file(target, ec)) {
    Fd in(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    std::string old;
    std::vector<char> buffer(kBlockSize);
    ssize_t n;
    while (in.fd >= 0 && (n = ReadSome(in.fd, buffer.data(), buffer.size())) > 0)
      old.append(buffer.data(), static_cast<size_t>(n));
    if (in.fd >= 0 && old == text) return true;
  }
  std::string pattern = (target.parent_path() / (std::string(kManifestTempPrefix) + "XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  TempFile temp;
  Fd out(mkstemp(name.data()));
  if (out.fd < 0) {
    *error = "cannot create a temporary file in " + target.parent_path().string() + ": " +
             strerror(errno);
    return false;
  }
  temp.path = name.data();
  if (!WriteAll(out.fd, text.data(), text.size()) || fchmod(out.fd, 0644) != 0 ||
      fsync(out.fd) != 0 || !out.CloseChecked()) {
    *error = "cannot write " + temp.path + ": " + strerror(errno);
    return false;
  }
  if (rename(temp.path.c_str(), target.c_str()) != 0) {
    *error = "cannot rename to " + target.string() + ": " + strerror(errno);
    return false;
  }
  temp.keep = true;
  return true;
}

bool Inside(const fs::path& inner, const fs::path& outer) {
  auto mismatch = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return mismatch.first == outer.end();
}

}  // namespace

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
  std::string part;
  for (size_t i = 0; i <= name.size(); i++) {
    if (i < name.size() && name[i] != '\\') {
      part += name[i];
      continue;
    }
    if (part.empty()) return "empty folder name";
    if (part == "." || part == "..") return "'.' or '..' as a folder";
    if (part.back() == '.' || part.back() == ' ') return "a name part ends in a dot or space";
    if (IsDeviceName(part)) return "reserved device name " + Quoted(part);
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

const char* UsageText() {
  return
      "Usage: brevane-publish [options] RELEASE_FOLDER\n"
      "\n"
      "Lists every file below RELEASE_FOLDER in the manifest files.ver, each as\n"
      "name=size,stamp ('\\' between folders, the stamp the file's last-write time in\n"
      "UTC as a DOS date and time), sorted by name, with CR LF line ends. Files go\n"
      "to [CLIENT] unless they lie below a folder named with --serveronly or\n"
      "--ondemand (the deepest such folder decides). A files.ver at the top of\n"
      "RELEASE_FOLDER is the manifest itself and is not listed.\n"
      "\n"
      "Nothing is written when a file could not be installed: names over 63\n"
      "characters, characters Windows forbids (<>:\"/\\|?* inside a name, control\n"
      "characters, non-ASCII), parts ending in a dot or space, device names, '='\n"
      "or a leading '[', sizes above 2147483647, times outside 1980..2107, names\n"
      "that differ only in letter case, or a manifest over 100000 bytes.\n"
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
      "                     there under its name is kept: the name carries the\n"
      "                     stamp and the size. DIR must not lie inside\n"
      "                     RELEASE_FOLDER\n"
      "  --verify           inflate every kept object and rewrite those that do not\n"
      "                     give exactly the file's size\n"
      "  --jobs=N           compression threads (default: one per core)\n"
      "  --help             show this text\n"
      "\n"
      "Options also take their value as the next argument (--out DIR).\n"
      "Exit status: 0 done, 1 refused or failed (files.ver unchanged), 2 bad usage.\n";
}

OptionsResult ParseOptions(const std::vector<std::string>& args, Options* options,
                           std::string* error) {
  for (size_t i = 0; i < args.size(); i++) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") return OptionsResult::Help;
    if (arg == "--verify") {
      options->verify = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      if (!options->source.empty()) {
        *error = "more than one release folder given";
        return OptionsResult::Error;
      }
      options->source = arg;
      continue;
    }
    std::string key = arg, value;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      key = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = key + " needs a value";
      return OptionsResult::Error;
    }
    if (key == "--out") {
      options->out = value;
    } else if (key == "--mirror") {
      options->mirror = value;
    } else if (key == "--serveronly") {
      options->serverOnly.push_back(value);
    } else if (key == "--ondemand") {
      options->onDemand.push_back(value);
    } else if (key == "--jobs") {
      if (value.empty() || value.size() > 4 ||
          value.find_first_not_of("0123456789") != std::string::npos || std::stoul(value) == 0) {
        *error = "--jobs must be 1 to 9999";
        return OptionsResult::Error;
      }
      options->jobs = static_cast<unsigned>(std::stoul(value));
    } else if (key == "--site") {
      // The installer cuts a site line at its first '='.
      SiteOption site;
      size_t cut = value.find('=');
      site.url = value.substr(0, cut);
      if (cut != std::string::npos) site.threads = value.substr(cut + 1);
      if (site.url.size() < 8 || !EqualNoCaseAscii(site.url.substr(0, 7), "http://")) {
        *error = "--site " + Quoted(value) + ": the installer takes only http:// sites";
        return OptionsResult::Error;
      }
      if (site.url.size() > static_cast<size_t>(kUrlLimit)) {
        *error = "--site " + Quoted(value) + ": URL over " + std::to_string(kUrlLimit) +
                 " characters";
        return OptionsResult::Error;
      }
      for (char c : site.url) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
          *error = "--site " + Quoted(value) + ": blank, control or non-ASCII character";
          return OptionsResult::Error;
        }
      }
      if (cut != std::string::npos &&
          (site.threads.empty() || site.threads.size() > 2 ||
           site.threads.find_first_not_of("0123456789") != std::string::npos ||
           std::stol(site.threads) > kMaxThreads)) {
        *error = "--site " + Quoted(value) + ": workers must be 0 to " + std::to_string(kMaxThreads);
        return OptionsResult::Error;
      }
      if (options->sites.size() >= static_cast<size_t>(kSiteTableCapacity)) {
        *error = "more than " + std::to_string(kSiteTableCapacity) + " sites";
        return OptionsResult::Error;
      }
      options->sites.push_back(site);
    } else {
      *error = "unknown option " + key;
      return OptionsResult::Error;
    }
  }
  if (options->source.empty()) {
    *error = "no release folder given";
    return OptionsResult::Error;
  }
  return OptionsResult::Run;
}

int Publish(const Options& options, Report* report) {
  std::vector<std::string>& errors = report->errors;
  std::error_code ec;
  fs::path source = fs::canonical(options.source, ec);
  if (ec || !fs::is_directory(source)) {
    errors.push_back(Quoted(options.source) + ": not a folder");
    return 1;
  }
  fs::path out = options.out.empty() ? source : fs::path(options.out);
  fs::create_directories(out, ec);
  out = fs::canonical(out, ec);
  if (ec) {
    errors.push_back(Quoted(options.out) + ": cannot make the output folder");
    return 1;
  }
  if (!options.mirror.empty()) {
    fs::path mirror = fs::weakly_canonical(options.mirror, ec);
    if (ec || Inside(mirror, source)) {
      errors.push_back(Quoted(options.mirror) +
                       ": the mirror folder must lie outside the release folder");
      return 1;
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
  if (!foldersOk) return 1;

  // The manifest this run writes, and its temporary files, are not content.
  fs::path manifestPath = out / kManifestName;
  std::vector<FileEntry> files;
  fs::recursive_directory_iterator walk(source, ec), end;
  if (ec) {
    errors.push_back(Quoted(source.string()) + ": cannot list: " + ec.message());
    return 1;
  }
  for (; walk != end; walk.increment(ec)) {
    if (ec) {
      errors.push_back("cannot list " + Quoted(source.string()) + ": " + ec.message());
      return 1;
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
    if (path.parent_path() == out) {
      std::string leaf = path.filename().string();
      if (leaf == kManifestName || leaf.compare(0, strlen(kManifestTempPrefix), kManifestTempPrefix) == 0)
        continue;
    }
    if (parts.size() == 1 && EqualNoCaseAscii(parts[0], kManifestName)) continue;
    if (name.empty()) continue;  // refused above
    if (!fs::is_regular_file(status)) {
      errors.push_back(Quoted(name) + ": not a regular file");
      continue;
    }
    // The session host serves nothing that leads outside its folder.
    if (isLink && !Inside(fs::canonical(path, typeError), source)) {
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
    for (const auto& folder : serverOnly)
      if (folder.size() > deepest && StartsWith(parts, folder)) {
        deepest = folder.size();
        file.section = Section::ServerOnly;
      }
    for (const auto& folder : onDemand)
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
    files.push_back(file);
  }

  std::sort(files.begin(), files.end(),
            [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
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

  std::string text = ManifestText(files, options);
  if (text.size() > kManifestLimit)
    errors.push_back("files.ver would be " + std::to_string(text.size()) +
                     " bytes; the installer reads at most " + std::to_string(kManifestLimit));
  if (errors.empty() && !InstallerReadsBack(text, files, options))
    errors.push_back("files.ver would not read back as written (internal error)");
  if (!errors.empty()) return 1;

  report->files = files.size();
  report->manifestBytes = text.size();
  if (!options.mirror.empty()) {
    fs::path mirror(options.mirror);
    std::vector<std::string> folders;
    for (const FileEntry& f : files) folders.push_back(f.folder);
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders) {
      fs::create_directories(mirror / folder, ec);
      if (ec) {
        errors.push_back(Quoted((mirror / folder).string()) + ": " + ec.message());
        return 1;
      }
    }
    MirrorWriter(options, report).Run(files);
    if (!errors.empty()) return 1;
  }
  std::string error;
  if (!WriteManifest(manifestPath, text, &error)) {
    errors.push_back(error);
    return 1;
  }
  return 0;
}

int RunMain(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  switch (ParseOptions(args, &options, &error)) {
    case OptionsResult::Help:
      fputs(UsageText(), stdout);
      return 0;
    case OptionsResult::Error:
      fprintf(stderr, "brevane-publish: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsResult::Run:
      break;
  }
  Report report;
  int status = Publish(options, &report);
  for (const std::string& line : report.errors)
    fprintf(stderr, "brevane-publish: %s\n", line.c_str());
  if (status != 0) {
    fprintf(stderr, "brevane-publish: nothing published; files.ver is unchanged\n");
    return status;
  }
  printf("files.ver: %zu files, %zu bytes\n", report.files, report.manifestBytes);
  if (!options.mirror.empty())
    printf("mirror: %zu objects written, %zu kept; top level: %zu linked, %zu copied, %zu kept\n",
           report.objectsWritten, report.objectsKept, report.topLinked, report.topCopied,
           report.topKept);
  return 0;
}

}  // namespace publish
