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
#include <thread>

#include "tools/common/fd.h"
#include "tools/common/temp_file.h"
#include "tools/common/text.h"

namespace fs = std::filesystem;

namespace publish {

using tools::Quoted;
using tools::ReadSome;
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

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Compresses the file into target as one zlib stream (level 9, default
// window and memory: what compress2 makes), streaming so that large files are
// never held whole. The file must still be what the scan saw.
bool CompressFile(const FileEntry& file, const std::string& target, unsigned worker,
                  std::string* error) {
  UniqueFd in(open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    *error = "cannot open: " + std::string(strerror(errno));
    return false;
  }
  TempFile temp(tools::TempPathBeside(target, worker));
  unlink(temp.path().c_str());
  UniqueFd out(open(temp.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!out.valid()) {
    *error = "cannot create " + temp.path() + ": " + strerror(errno);
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
    ssize_t n = ReadSome(in.get(), inBuffer.data(), inBuffer.size());
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
      if (produced > 0 && !WriteAll(out.get(), outBuffer.data(), produced)) {
        *error = "cannot write " + temp.path() + ": " + strerror(errno);
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
  if (fstat(in.get(), &after) != 0 || total != file.size ||
      static_cast<uint64_t>(after.st_size) != file.size || !SameTime(after.st_mtim, file.mtime)) {
    *error = "changed while it was being published; run again";
    return false;
  }
  if (!out.CloseChecked()) {
    *error = "cannot write " + temp.path() + ": " + strerror(errno);
    return false;
  }
  if (rename(temp.path().c_str(), target.c_str()) != 0) {
    *error = "cannot rename to " + target + ": " + strerror(errno);
    return false;
  }
  temp.Keep();
  return true;
}

// True when the object is one complete zlib stream that inflates to exactly
// size bytes with nothing after it.
bool InflatesTo(const std::string& object, uint64_t size) {
  UniqueFd in(open(object.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return false;
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
      total += outBuffer.size() - z.avail_out;
      if (total > size) ok = false;
    }
    // Bytes after the end of the stream make it something else.
    if (rc == Z_STREAM_END && (z.avail_in > 0 || ReadSome(in.get(), inBuffer.data(), 1) != 0))
      ok = false;
  }
  inflateEnd(&z);
  return ok && total == size;
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
    TempFile temp(tools::TempPathBeside(topPath, worker));
    unlink(temp.path().c_str());
    bool linked = link(monthPath.c_str(), temp.path().c_str()) == 0;
    if (!linked && !CopyFileTo(monthPath, temp.path())) {
      Fail(file, "cannot link or copy to " + topPath + ": " + strerror(errno));
      return;
    }
    if (rename(temp.path().c_str(), topPath.c_str()) != 0) {
      Fail(file, "cannot rename to " + topPath + ": " + strerror(errno));
      return;
    }
    temp.Keep();
    Count(linked ? &Report::topLinked : &Report::topCopied);
  }

  const Options& options_;
  Report* report_;
  std::mutex lock_;
};

}  // namespace

bool WriteMirror(const Options& options, const std::vector<FileEntry>& files, Report* report) {
  fs::path mirror(options.mirror);
  std::vector<std::string> folders;
  for (const FileEntry& f : files) folders.push_back(f.folder);
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
  MirrorWriter(options, report).Run(files);
  return report->errors.empty();
}

}  // namespace publish
