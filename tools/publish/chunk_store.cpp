// The release chunk index and the chunk objects (see chunk_store.h).
#include "tools/publish/chunk_store.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>

#include "tools/common/beneath.h"
#include "tools/common/fd.h"
#include "tools/common/file_identity.h"
#include "tools/common/parallel.h"
#include "tools/common/temp_file.h"
#include "tools/common/text.h"
#include "tools/publish/manifest_writer.h"
#include "tools/publish/signing.h"

namespace fs = std::filesystem;

namespace publish {

const char kChunkIndexName[] = "files.ver.idx";
const char kChunkIndexSignatureName[] = "files.ver.idx.sig";

namespace {

using tools::Quoted;
using tools::TempFile;
using tools::UniqueFd;

const size_t kReadBlock = 4 * 1024 * 1024;
const int kCompressionLevel = 9;

void PutLe(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool IsHexName(const std::string& name, size_t length) {
  return name.size() == length && std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// True when the object inflates to exactly length bytes of this name.
bool ChunkObjectHolds(const std::string& path, const ChunkRecord& chunk) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > 2 * kChunkLargest)
    return false;
  UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in.valid()) return false;
  std::vector<uint8_t> packed(static_cast<size_t>(info.st_size));
  if (tools::ReadSome(in.get(), packed.data(), packed.size()) != info.st_size) return false;
  std::vector<uint8_t> plain(static_cast<size_t>(chunk.length) + 1);
  uLongf plainLength = plain.size();
  uint8_t id[kChunkIdLength];
  return uncompress(plain.data(), &plainLength, packed.data(), packed.size()) == Z_OK &&
         plainLength == static_cast<uLongf>(chunk.length) &&
         ChunkIdOf(plain.data(), chunk.length, id) && memcmp(id, chunk.id, kChunkIdLength) == 0;
}

// Writes the chunk as a zlib object under a temporary name, then renames it
// into place; the name is its content, so a racing writer writes the same.
bool WriteChunkObject(const std::string& path, const uint8_t* data, int32_t length,
                      unsigned worker, uint64_t* bytes, std::string* error) {
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(length)));
  uLongf packedLength = packed.size();
  if (compress2(packed.data(), &packedLength, data, static_cast<uLong>(length),
                kCompressionLevel) != Z_OK) {
    *error = "cannot compress a chunk";
    return false;
  }
  TempFile temp(tools::TempPathBeside(path, worker));
  unlink(temp.path().c_str());
  UniqueFd out(open(temp.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!out.valid() || !tools::WriteAll(out.get(), packed.data(), packedLength) ||
      !out.CloseChecked() || rename(temp.path().c_str(), path.c_str()) != 0) {
    *error = "cannot write chunk object " + path + ": " + strerror(errno);
    return false;
  }
  temp.Keep();
  *bytes = packedLength;
  return true;
}

}  // namespace

std::vector<ChunkRecord> CutBytes(const uint8_t* data, size_t size, const ChunkSizes& sizes) {
  std::vector<ChunkRecord> chunks;
  size_t at = 0;
  while (at < size) {
    size_t left = std::min<size_t>(size - at, static_cast<size_t>(sizes.Max));
    ChunkRecord chunk;
    chunk.length = ChunkLength(sizes, data + at, static_cast<int32_t>(left));
    ChunkIdOf(data + at, chunk.length, chunk.id);
    chunks.push_back(chunk);
    at += static_cast<size_t>(chunk.length);
  }
  return chunks;
}

std::string ChunkIndexBytes(const std::vector<const FileEntry*>& files,
                            const std::vector<const std::vector<ChunkRecord>*>& chunks,
                            const ChunkSizes& sizes, const uint8_t manifestHash[kSha256Size]) {
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return files[a]->name < files[b]->name; });
  std::string out(kChunkIndexMagic, sizeof kChunkIndexMagic);
  PutLe(&out, static_cast<uint32_t>(sizes.Min), 4);
  PutLe(&out, static_cast<uint32_t>(sizes.Average), 4);
  PutLe(&out, static_cast<uint32_t>(sizes.Max), 4);
  out.append(reinterpret_cast<const char*>(manifestHash), kSha256Size);
  PutLe(&out, static_cast<uint32_t>(files.size()), 4);
  for (size_t i : order) {
    const FileEntry& file = *files[i];
    out.push_back(static_cast<char>(file.name.size()));
    out += file.name;
    PutLe(&out, static_cast<uint32_t>(file.size), 4);
    out.append(reinterpret_cast<const char*>(file.hash), kSha256Size);
    PutLe(&out, static_cast<uint32_t>(chunks[i]->size()), 4);
    for (const ChunkRecord& chunk : *chunks[i]) {
      PutLe(&out, static_cast<uint32_t>(chunk.length), 3);
      out.append(reinterpret_cast<const char*>(chunk.id), kChunkIdLength);
    }
  }
  return out;
}

bool ChunkJob::Cut(const std::vector<FileEntry>& files, std::vector<std::string>* errors) {
  files_ = &files;
  chunks_.assign(files.size(), {});
  named_.clear();
  counts_ = ChunkCounts();
  const bool mirror = !options_.mirror.empty();
  const fs::path root(options_.mirror);
  std::mutex lock;
  std::set<std::string> done;  // objects written or checked by this run
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    errors->push_back(what);
  };

  tools::RunParallel(options_.jobs, files.size(), [&](size_t i, unsigned worker) {
    const FileEntry& file = files[i];
    // Opened as the mirror pass opens it: below the release folder, no link
    // followed, the very file the scan judged.
    UniqueFd in(tools::OpenBeneath(sourceFd_, file.relative.c_str(), O_RDONLY | O_NONBLOCK));
    struct stat opened;
    if (!in.valid() || fstat(in.get(), &opened) != 0 ||
        tools::IdentityOf(opened) != file.identity) {
      fail(Quoted(file.name) + ": changed while it was being published; run again");
      return;
    }
    std::vector<uint8_t> buffer(kReadBlock + static_cast<size_t>(kChunkSizes.Max));
    size_t held = 0;
    bool end = false;
    Sha256Digest digest;
    uint64_t total = 0;
    std::vector<ChunkRecord>& list = chunks_[i];
    while (!end || held > 0) {
      while (!end && held < buffer.size()) {
        ssize_t n = tools::ReadSome(in.get(), buffer.data() + held, buffer.size() - held);
        if (n < 0) {
          fail(Quoted(file.name) + ": read failed: " + strerror(errno));
          return;
        }
        if (n == 0) end = true;
        digest.Update(buffer.data() + held, static_cast<size_t>(n));
        held += static_cast<size_t>(n);
        total += static_cast<uint64_t>(n);
      }
      size_t at = 0;
      while (at < held && (end || held - at >= static_cast<size_t>(kChunkSizes.Max))) {
        const uint8_t* data = buffer.data() + at;
        int32_t left = static_cast<int32_t>(std::min<size_t>(held - at, kChunkSizes.Max));
        ChunkRecord chunk;
        chunk.length = ChunkLength(kChunkSizes, data, left);
        if (!ChunkIdOf(data, chunk.length, chunk.id)) {
          fail(Quoted(file.name) + ": SHA-256 failed");
          return;
        }
        list.push_back(chunk);
        at += static_cast<size_t>(chunk.length);
        if (!mirror) continue;
        char name[kChunkObjectNameCapacity];
        ChunkObjectName(chunk.id, name);
        {
          std::lock_guard<std::mutex> hold(lock);
          if (!done.insert(name).second) continue;  // another file's chunk
        }
        std::string path = (root / name).string();
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        struct stat info;
        bool present = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 8;
        if (present && (!options_.verify || ChunkObjectHolds(path, chunk))) {
          std::lock_guard<std::mutex> hold(lock);
          counts_.kept++;
          counts_.objectBytes += static_cast<uint64_t>(info.st_size);
          continue;
        }
        uint64_t bytes = 0;
        std::string error;
        if (!WriteChunkObject(path, data, chunk.length, worker, &bytes, &error)) {
          fail(Quoted(file.name) + ": " + error);
          return;
        }
        std::lock_guard<std::mutex> hold(lock);
        counts_.written++;
        counts_.objectBytes += bytes;
      }
      memmove(buffer.data(), buffer.data() + at, held - at);
      held -= at;
    }
    uint8_t hash[kSha256Size];
    if (!digest.Finish(hash) || total != file.size || memcmp(hash, file.hash, kSha256Size) != 0)
      fail(Quoted(file.name) + ": changed while it was being published; run again");
  });

  for (const auto& list : chunks_) {
    for (const ChunkRecord& chunk : list) {
      char name[kChunkObjectNameCapacity];
      ChunkObjectName(chunk.id, name);
      named_.insert(name);
    }
  }
  counts_.distinct = named_.size();
  return errors->empty();
}

std::string ChunkJob::IndexBytes(const std::string& manifest) const {
  if (files_ == nullptr) return std::string();
  Sha256Digest digest;
  uint8_t manifestHash[kSha256Size];
  digest.Update(manifest.data(), manifest.size());
  if (!digest.Finish(manifestHash)) return std::string();
  std::vector<const FileEntry*> files;
  std::vector<const std::vector<ChunkRecord>*> chunks;
  for (size_t i = 0; i < files_->size(); i++) {
    files.push_back(&(*files_)[i]);
    chunks.push_back(&chunks_[i]);
  }
  std::string index = ChunkIndexBytes(files, chunks, kChunkSizes, manifestHash);
  // Proof that installers read it: the same files, nothing refused. One
  // over the limit is returned for the caller to refuse.
  if (index.size() > static_cast<size_t>(kChunkIndexLimit)) return index;
  ChunkIndexHeader header;
  if (ParseChunkIndex(reinterpret_cast<const uint8_t*>(index.data()),
                      static_cast<int32_t>(index.size()), &header, nullptr) != kChunkIndexOk ||
      header.FileCount != files.size()) {
    return std::string();
  }
  return index;
}

bool ChunkJob::Prune(std::vector<std::string>* errors) {
  if (options_.mirror.empty() || files_ == nullptr) return true;
  const fs::path chunksFolder = fs::path(options_.mirror) / "chunks";
  std::error_code ec;
  for (fs::directory_iterator top(chunksFolder, ec), end; !ec && top != end; top.increment(ec)) {
    const std::string fan = top->path().filename().string();
    std::error_code typeError;
    if (!IsHexName(fan, 2) || !top->is_directory(typeError) || top->is_symlink(typeError)) continue;
    std::error_code inner;
    for (fs::directory_iterator it(top->path(), inner), stop; !inner && it != stop;
         it.increment(inner)) {
      const std::string leaf = it->path().filename().string();
      if (!IsHexName(leaf, 2 * kChunkIdLength) || leaf.compare(0, 2, fan) != 0 ||
          !it->is_regular_file(typeError) || it->is_symlink(typeError))
        continue;
      if (named_.count("chunks/" + fan + "/" + leaf) != 0) continue;
      if (unlink(it->path().c_str()) != 0) {
        errors->push_back(Quoted(it->path().string()) + ": cannot remove: " + strerror(errno));
        continue;
      }
      counts_.pruned++;
    }
    if (inner) errors->push_back(Quoted(top->path().string()) + ": cannot list: " + inner.message());
  }
  return errors->empty();
}

bool WriteChunkIndex(const fs::path& folder, const std::string& index,
                     const std::string& signature, std::string* error) {
  TempFile indexTemp, signatureTemp;
  if (index.empty()) {
    // No index for this release: one left from the last would name another
    // manifest, and cost installers a fetch for nothing.
    for (const char* name : {kChunkIndexName, kChunkIndexSignatureName}) {
      if (unlink((folder / name).c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove " + (folder / name).string() + ": " + strerror(errno);
        return false;
      }
    }
    return true;
  }
  if (signature.empty()) {
    // Unsigned: the index in place and its signature stay when the bytes are
    // the same (an unchanged release run again); otherwise that signature
    // signs another index and goes.
    std::ifstream in(folder / kChunkIndexName, std::ios::binary);
    std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.is_open() && old == index) return true;
    if (unlink((folder / kChunkIndexSignatureName).c_str()) != 0 && errno != ENOENT) {
      *error = "cannot remove " + (folder / kChunkIndexSignatureName).string() + ": " +
               strerror(errno);
      return false;
    }
  }
  if (!PrepareFile(folder, index, &indexTemp, error)) return false;
  if (!signature.empty() && !PrepareFile(folder, signature, &signatureTemp, error)) return false;
  if (!RenameInto(&indexTemp, folder / kChunkIndexName, error)) return false;
  return signature.empty() || RenameInto(&signatureTemp, folder / kChunkIndexSignatureName, error);
}

}  // namespace publish
