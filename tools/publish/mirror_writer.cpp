// The mirror writer.
#include "tools/publish/mirror_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "tools/common/beneath.h"
#include "tools/common/fd.h"
#include "tools/common/file_identity.h"
#include "tools/common/parallel.h"
#include "tools/common/temp_file.h"
#include "tools/common/text.h"
#include "manifest/mirror_name.h"
#include "tools/publish/signing.h"

namespace fs = std::filesystem;

namespace publish {

using tools::Quoted;
using tools::ReadSome;
using tools::RunParallel;
using tools::TempFile;
using tools::UniqueFd;
using tools::WriteAll;

namespace {

// I/O block of the compressor and the verifier.
const size_t kBlockSize = 256 * 1024;
// The shortest zlib stream (of an empty file) is 8 bytes; anything shorter
// under an object's name is a broken object.
const off_t kSmallestObject = 8;
const int kCompressionLevel = 9;

// Reads the file once: its SHA-256 into hash and, when out is a descriptor,
// the file as one zlib stream (level 9, default window and memory: what
// compress2 makes) into it. Streams, so that large files are never held
// whole. It is opened below the release folder with no link followed, and
// must be the very file the scan judged (same identity) before and after.
bool ReadFile(int sourceFd, const FileEntry& file, int out, const std::string& outName,
              uint8_t hash[kSha256Size], Progress* progress, std::string* error) {
  UniqueFd in(tools::OpenBeneath(sourceFd, file.relative.c_str(), O_RDONLY | O_NONBLOCK));
  struct stat before;
  if (!in.valid()) {
    *error = errno == ELOOP ? "replaced by a link while it was being published; run again"
                            : "cannot open: " + std::string(strerror(errno));
    return false;
  }
  if (fstat(in.get(), &before) != 0 || tools::IdentityOf(before) != file.identity) {
    *error = "changed while it was being published; run again";
    return false;
  }
  Sha256Digest digest;
  z_stream z;
  memset(&z, 0, sizeof z);
  const bool compress = out >= 0;
  if (compress && deflateInit(&z, kCompressionLevel) != Z_OK) {
    *error = "deflateInit failed";
    return false;
  }
  std::vector<unsigned char> inBuffer(kBlockSize), outBuffer(compress ? kBlockSize : 0);
  uint64_t total = 0;
  bool ok = true;
  int flush = Z_NO_FLUSH;
  while (ok && flush != Z_FINISH) {
    ssize_t n = ReadSome(in.get(), inBuffer.data(), inBuffer.size());
    if (n < 0) {
      *error = "read failed: " + std::string(strerror(errno));
      ok = false;
      break;
    }
    total += static_cast<uint64_t>(n);
    digest.Update(inBuffer.data(), static_cast<size_t>(n));
    progress->AddBytes(static_cast<uint64_t>(n));
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    if (!compress) continue;
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
      if (produced > 0 && !WriteAll(out, outBuffer.data(), produced)) {
        *error = "cannot write " + outName + ": " + strerror(errno);
        ok = false;
        break;
      }
    } while (z.avail_out == 0);
    if (ok && flush == Z_FINISH && rc != Z_STREAM_END) {
      *error = "deflate did not finish";
      ok = false;
    }
  }
  if (compress) deflateEnd(&z);
  if (!ok) return false;
  if (!digest.Finish(hash)) {
    *error = "SHA-256 failed";
    return false;
  }

  struct stat after;
  if (fstat(in.get(), &after) != 0 || total != file.size ||
      tools::IdentityOf(after) != file.identity) {
    *error = "changed while it was being published; run again";
    return false;
  }
  return true;
}

// True when the object is one complete zlib stream that inflates to exactly
// size bytes of the given SHA-256, with nothing after it.
bool InflatesTo(const std::string& object, uint64_t size, const uint8_t hash[kSha256Size]) {
  UniqueFd in(open(object.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return false;
  Sha256Digest digest;
  std::vector<unsigned char> inBuffer(kBlockSize), outBuffer(kBlockSize);
  uint64_t total = 0;
  int rc = Z_OK;
  bool ok = true;
  while (ok && rc != Z_STREAM_END) {
    ssize_t n = ReadSome(in.get(), inBuffer.data(), inBuffer.size());
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
      size_t produced = outBuffer.size() - z.avail_out;
      digest.Update(outBuffer.data(), produced);
      total += produced;
      if (total > size) ok = false;
    }
    // Bytes after the end of the stream make it something else.
    if (rc == Z_STREAM_END && (z.avail_in > 0 || ReadSome(in.get(), inBuffer.data(), 1) != 0))
      ok = false;
  }
  inflateEnd(&z);
  uint8_t got[kSha256Size];
  return ok && total == size && digest.Finish(got) && memcmp(got, hash, kSha256Size) == 0;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
  UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!out.valid()) return false;
  std::vector<char> buffer(kBlockSize);
  for (;;) {
    ssize_t n = ReadSome(in.get(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(out.get(), buffer.data(), static_cast<size_t>(n))) return false;
  }
  return out.CloseChecked();
}

bool IsUsableObject(const std::string& path, struct stat* info) {
  return stat(path.c_str(), info) == 0 && S_ISREG(info->st_mode) &&
         info->st_size >= kSmallestObject;
}

bool ParseNumber(const std::string& text, size_t* at, uint64_t limit, uint64_t* value) {
  size_t start = *at;
  uint64_t total = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 10) {
    total = total * 10 + static_cast<uint64_t>(text[*at] - '0');
    (*at)++;
  }
  if (*at == start || total > limit) return false;
  *value = total;
  return true;
}

}  // namespace

bool IsMirrorObjectName(const std::string& name, uint32_t* stamp) {
  size_t at = 0;
  uint64_t stampValue = 0, size = 0;
  if (!ParseNumber(name, &at, 4294967295u, &stampValue) || at >= name.size() || name[at] != '_')
    return false;
  at++;
  if (!ParseNumber(name, &at, 2147483647u, &size) || at + 1 >= name.size() || name[at] != '_')
    return false;
  *stamp = static_cast<uint32_t>(stampValue);
  return true;
}

// What Prepare decided for one file and Commit carries out.
struct MirrorJob::Plan {
  std::unique_ptr<TempFile> monthTemp;  // new month object, not yet renamed
  bool replaces = false;                // an object of that name was there
  bool topKept = false;                 // the top-level name is already right
};

MirrorJob::MirrorJob(const Options& options, const PreviousRelease& previous, int sourceFd)
    : options_(options), previous_(previous), sourceFd_(sourceFd) {}

MirrorJob::~MirrorJob() = default;

bool MirrorJob::Prepare(std::vector<FileEntry>* files, Progress* progress, Report* report) {
  files_ = files;
  plans_.clear();
  plans_.resize(files->size());
  std::mutex lock;
  auto fail = [&](const FileEntry& file, const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    report->errors.push_back(Quoted(file.name) + ": " + what);
  };
  if (!options_.mirror.empty()) {
    fs::path mirror(options_.mirror);
    std::vector<std::string> folders;
    for (const FileEntry& f : *files) folders.push_back(f.folder);
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders) {
      std::error_code ec;
      fs::create_directories(mirror / folder, ec);
      if (ec) {
        report->errors.push_back(Quoted((mirror / folder).string()) + ": " + ec.message());
        return false;
      }
    }
  }

  RunParallel(options_.jobs, files->size(), [&](size_t i, unsigned worker) {
    FileEntry& file = (*files)[i];
    Plan& plan = plans_[i];
    std::string error;
    if (options_.mirror.empty()) {
      if (!ReadFile(sourceFd_, file, -1, "", file.hash, progress, &error)) fail(file, error);
      progress->FileDone();
      return;
    }
    fs::path root(options_.mirror);
    std::string monthPath = (root / file.folder / file.object).string();
    std::string topPath = (root / file.object).string();

    // Compresses into a temporary name beside the object, hashing on the way.
    auto compress = [&](uint8_t hash[kSha256Size]) {
      auto temp = std::make_unique<TempFile>(tools::TempPathBeside(monthPath, worker));
      unlink(temp->path().c_str());
      UniqueFd out(open(temp->path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
      if (!out.valid()) {
        fail(file, "mirror object: cannot create " + temp->path() + ": " + strerror(errno));
        return false;
      }
      if (!ReadFile(sourceFd_, file, out.get(), temp->path(), hash, progress, &error)) {
        fail(file, error);
        return false;
      }
      if (!out.CloseChecked()) {
        fail(file, "mirror object: cannot write " + temp->path() + ": " + strerror(errno));
        return false;
      }
      plan.monthTemp = std::move(temp);
      return true;
    };

    struct stat month;
    if (!IsUsableObject(monthPath, &month)) {
      plan.replaces = lstat(monthPath.c_str(), &month) == 0;
      compress(file.hash);
      progress->FileDone();
      return;
    }
    if (!ReadFile(sourceFd_, file, -1, "", file.hash, progress, &error)) {
      fail(file, error);
      progress->FileDone();
      return;
    }
    // Same name means same stamp, size and path, but not the same bytes
    // (builds with fixed times): an object the previous manifest does not
    // vouch for is inflated and compared.
    bool check = options_.verify || !Vouches(previous_, file);
    if (check && !InflatesTo(monthPath, file.size, file.hash)) {
      uint8_t again[kSha256Size];
      plan.replaces = true;
      if (compress(again) && memcmp(again, file.hash, kSha256Size) != 0)
        fail(file, "changed while it was being published; run again");
      progress->FileDone();
      return;
    }
    struct stat top;
    plan.topKept = IsUsableObject(topPath, &top) &&
                   ((top.st_dev == month.st_dev && top.st_ino == month.st_ino) ||
                    (top.st_size == month.st_size &&
                     (!check || InflatesTo(topPath, file.size, file.hash))));
    progress->FileDone();
  });
  return report->errors.empty();
}

bool MirrorJob::Commit(Report* report) {
  if (options_.mirror.empty() || files_ == nullptr) return true;
  fs::path root(options_.mirror);
  for (size_t i = 0; i < files_->size(); i++) {
    const FileEntry& file = (*files_)[i];
    Plan& plan = plans_[i];
    std::string monthPath = (root / file.folder / file.object).string();
    std::string topPath = (root / file.object).string();
    auto fail = [&](const std::string& what) {
      report->errors.push_back(Quoted(file.name) + ": mirror object: " + what + ": " +
                               strerror(errno));
    };
    if (plan.monthTemp) {
      if (rename(plan.monthTemp->path().c_str(), monthPath.c_str()) != 0) {
        fail("cannot rename to " + monthPath);
        return false;
      }
      plan.monthTemp->Keep();
      plan.monthTemp.reset();
      ++(plan.replaces ? report->objectsRewritten : report->objectsWritten);
    } else {
      report->objectsKept++;
      if (plan.topKept) {
        report->topKept++;
        continue;
      }
    }
    TempFile temp(tools::TempPathBeside(topPath, 0));
    unlink(temp.path().c_str());
    bool linked = link(monthPath.c_str(), temp.path().c_str()) == 0;
    if (!linked && !CopyFileTo(monthPath, temp.path())) {
      fail("cannot link or copy to " + topPath);
      return false;
    }
    if (rename(temp.path().c_str(), topPath.c_str()) != 0) {
      fail("cannot rename to " + topPath);
      return false;
    }
    temp.Keep();
    ++(linked ? report->topLinked : report->topCopied);
  }
  return true;
}

bool MirrorJob::Prune(Report* report) {
  if (options_.mirror.empty() || files_ == nullptr) return true;
  std::set<std::string> named;
  for (const FileEntry& f : *files_) {
    named.insert(f.object);
    named.insert(f.folder + "/" + f.object);
  }
  // Only regular files with an object's name, at the top or in the month
  // folder their own stamp gives; links, folders and other files stay.
  auto pruneIn = [&](const fs::path& folder, const std::string& month) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string leaf = it->path().filename().string();
      uint32_t stamp = 0;
      if (!IsMirrorObjectName(leaf, &stamp) || !it->is_regular_file(ec) || it->is_symlink(ec))
        continue;
      char folderName[kMonthFolderCapacity];
      MirrorMonthFolder(stamp, folderName);
      if (!month.empty() && month != folderName) continue;
      std::string key = month.empty() ? leaf : month + "/" + leaf;
      if (named.count(key) != 0) continue;
      if (unlink(it->path().c_str()) != 0) {
        report->errors.push_back(Quoted(it->path().string()) + ": cannot remove: " +
                                 strerror(errno));
        continue;
      }
      report->objectsPruned++;
    }
    if (ec) report->errors.push_back(Quoted(folder.string()) + ": cannot list: " + ec.message());
  };
  fs::path root(options_.mirror);
  pruneIn(root, "");
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string leaf = it->path().filename().string();
    bool monthName = leaf.size() == 4 && std::all_of(leaf.begin(), leaf.end(), [](char c) {
                       return c >= '0' && c <= '9';
                     });
    std::error_code typeError;
    if (monthName && it->is_directory(typeError) && !it->is_symlink(typeError))
      pruneIn(it->path(), leaf);
  }
  return report->errors.empty();
}

}  // namespace publish
