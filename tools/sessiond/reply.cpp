// Reply building for the session host.
#include "tools/sessiond/reply.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "tools/common/fd.h"
#include "tools/common/paths.h"
#include "tools/sessiond/reply_cache.h"

namespace sessiond {

namespace {

// Each sample piece is taken from a quarter of the chunk, so that a chunk
// whose start differs from the rest (a header, a table) is judged by all of
// it.
const size_t kSamplePieces = 4;
const size_t kSamplePiece = 4096;
// The scramble key repeats every 30 bytes and a word is 8: both line up
// every 120 bytes.
const size_t kScrambleBlock = 120;
const size_t kScrambleWords = kScrambleBlock / 8;
static_assert(kScrambleBlock % kScrambleKeyLength == 0, "blocks start at key byte 0");

// Per serving thread: a chunk read from disk and a compressed stream are
// only needed while one request is answered, so they are never kept per
// connection.
thread_local std::vector<uint8_t> t_chunk;
thread_local std::vector<uint8_t> t_packed;

std::vector<uint8_t>& Scratch(std::vector<uint8_t>* buffer, size_t size) {
  if (buffer->size() < size) buffer->resize(size);
  return *buffer;
}

void FrameEmpty(Reply* reply) {
  reply->chunkLength = 0;
  reply->wire.assign(kSessionHeaderSize, 0);
  PutLengthWord(reply->wire.data(), ReplyLengthWord(false, 0));
}

// The zlib stream of data (default level, as the client expects nothing
// else), in t_packed; 0 when zlib fails or the stream would not fit the
// client's receive buffer.
size_t Compress(const uint8_t* data, size_t length) {
  uLongf bound = compressBound(static_cast<uLong>(length));
  std::vector<uint8_t>& packed = Scratch(&t_packed, bound);
  uLongf size = bound;
  int rc = compress2(packed.data(), &size, data, static_cast<uLong>(length), Z_DEFAULT_COMPRESSION);
  if (rc != Z_OK || size > static_cast<uLongf>(kSessionReceiveCapacity)) return 0;
  return size;
}

// Whether compressing a large chunk could make it smaller: a sample of it
// must. Compressing 16 KiB costs a small part of what the whole chunk does,
// and random data (already compressed files) fails here.
bool SampleCompresses(const uint8_t* data, size_t length) {
  uint8_t sample[kSamplePieces * kSamplePiece];
  size_t used = 0;
  for (size_t i = 0; i < kSamplePieces; i++) {
    size_t start = length / kSamplePieces * i;
    size_t piece = length - start < kSamplePiece ? length - start : kSamplePiece;
    memcpy(sample + used, data + start, piece);
    used += piece;
  }
  uint8_t packed[kSamplePieces * kSamplePiece + 1024];
  static_assert(sizeof packed >= kSamplePieces * kSamplePiece + 64, "room for compressBound");
  uLongf size = sizeof packed;
  return compress2(packed, &size, sample, static_cast<uLong>(used), Z_DEFAULT_COMPRESSION) ==
             Z_OK &&
         size < used;
}

bool SameIdentity(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Opens, reads and encodes one chunk of the file Locate found. *cacheable
// tells whether the bytes read are those of the identity in info: the file
// was neither replaced nor written between the lookup and the end of the
// read.
ReplyPtr ReadAndEncode(const std::string& path, const struct stat& info, uint64_t offset,
                       uint32_t want, CompressMode mode, bool* cacheable) {
  auto reply = std::make_shared<Reply>();
  *cacheable = false;
  // O_NOFOLLOW: the resolved path has no links left, so one appearing now is
  // a swap made after the check. O_NONBLOCK: never hang on a FIFO.
  tools::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat before, after;
  if (!file.valid()) {
    // Gone since the lookup is absent; anything else (out of descriptors,
    // an I/O error) says nothing about the file.
    reply->kind = errno == ENOENT ? ReplyKind::Missing
                  : errno == ELOOP ? ReplyKind::Refused
                                   : ReplyKind::ReadError;
    reply->note = strerror(errno);
  } else if (fstat(file.get(), &before) != 0) {
    reply->kind = ReplyKind::ReadError;
    reply->note = strerror(errno);
  } else if (!S_ISREG(before.st_mode)) {
    reply->kind = ReplyKind::Missing;
    reply->note = "not a regular file";
  } else {
    std::vector<uint8_t>& chunk = Scratch(&t_chunk, kSessionChunkSize);
    int64_t got = ReadChunk(file.get(), offset, want, chunk.data(), &reply->note);
    if (got < 0) {
      reply->kind = ReplyKind::ReadError;
    } else if (got == 0) {
      reply->kind = ReplyKind::End;
    } else {
      EncodeChunk(chunk.data(), static_cast<size_t>(got), mode, reply.get());
      *cacheable = SameIdentity(info, before) && fstat(file.get(), &after) == 0 &&
                   SameIdentity(info, after);
      return reply;
    }
  }
  if (reply->kind != ReplyKind::ReadError) FrameEmpty(reply.get());
  return reply;
}

}  // namespace

bool ParseCompressMode(const std::string& text, CompressMode* mode) {
  if (text == "auto") *mode = CompressMode::Auto;
  else if (text == "always") *mode = CompressMode::Always;
  else if (text == "never") *mode = CompressMode::Never;
  else return false;
  return true;
}

const char* CompressModeName(CompressMode mode) {
  switch (mode) {
    case CompressMode::Auto: return "auto";
    case CompressMode::Always: return "always";
    case CompressMode::Never: return "never";
  }
  return "?";
}

const char* ReplyKindName(ReplyKind kind) {
  switch (kind) {
    case ReplyKind::Scrambled: return "scrambled";
    case ReplyKind::Compressed: return "compressed";
    case ReplyKind::End: return "end";
    case ReplyKind::Missing: return "missing";
    case ReplyKind::Refused: return "refused";
    case ReplyKind::ReadError: return "read-error";
  }
  return "?";
}

bool ReleaseRoot::Open(const std::string& folder, std::string* error) {
  std::string canonical = tools::CanonicalPath(folder);
  if (canonical.empty()) {
    *error = folder + ": " + strerror(errno);
    return false;
  }
  struct stat info;
  if (stat(canonical.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = folder + ": not a folder";
    return false;
  }
  root_ = canonical;
  prefix_ = canonical == "/" ? canonical : canonical + "/";
  return true;
}

bool ReleaseRoot::Locate(const char* name, std::string* path, struct stat* info,
                         ReplyKind* kind, std::string* why) const {
  *kind = ReplyKind::Refused;
  if (!IsSafeRelativeName(name)) {
    *why = "unsafe name";
    return false;
  }
  std::string relative(name);
  for (char& c : relative)
    if (c == '\\') c = '/';
  // The name itself cannot climb out (checked above), but a symbolic link
  // inside the release folder can point anywhere: judge the resolved path.
  std::string canonical = tools::CanonicalPath(prefix_ + relative);
  if (canonical.empty()) {
    // A name that leads nowhere is absent; a lookup that failed for another
    // reason (no memory, an I/O error, no permission) says nothing.
    int error = errno;
    bool absent = error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
    *kind = absent ? ReplyKind::Missing : ReplyKind::ReadError;
    *why = strerror(error);
    return false;
  }
  if (canonical.compare(0, prefix_.size(), prefix_) != 0 || canonical.size() == prefix_.size()) {
    *why = "resolves outside the release folder";
    return false;
  }
  if (lstat(canonical.c_str(), info) != 0) {
    *kind = errno == ENOENT || errno == ENOTDIR ? ReplyKind::Missing : ReplyKind::ReadError;
    *why = strerror(errno);
    return false;
  }
  if (S_ISLNK(info->st_mode)) {
    *why = "a link appeared after the name was resolved";
    return false;
  }
  if (!S_ISREG(info->st_mode)) {
    *kind = ReplyKind::Missing;
    *why = "not a regular file";
    return false;
  }
  *path = canonical;
  return true;
}

int64_t ReadChunk(int fd, uint64_t offset, uint32_t maxLength, uint8_t* chunk,
                  std::string* error) {
  size_t filled = 0;
  while (filled < maxLength) {
    ssize_t got = pread(fd, chunk + filled, maxLength - filled,
                        static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = strerror(errno);
      return -1;
    }
    if (got == 0) break;  // end of file: a short last chunk
    filled += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(filled);
}

void ScrambleCopy(uint8_t* to, const uint8_t* from, size_t count) {
  static const struct Pattern {
    uint64_t words[kScrambleWords];
    Pattern() {
      uint8_t bytes[kScrambleBlock];
      for (size_t i = 0; i < kScrambleBlock; i++)
        bytes[i] = static_cast<uint8_t>(kScrambleKey[i % kScrambleKeyLength]);
      memcpy(words, bytes, sizeof words);
    }
  } pattern;
  size_t i = 0;
  for (; i + kScrambleBlock <= count; i += kScrambleBlock) {
    for (size_t w = 0; w < kScrambleWords; w++) {
      uint64_t word;
      memcpy(&word, from + i + w * 8, 8);
      word ^= pattern.words[w];
      memcpy(to + i + w * 8, &word, 8);
    }
  }
  for (size_t k = 0; i < count; i++, k++)
    to[i] = from[i] ^ static_cast<uint8_t>(kScrambleKey[k % kScrambleKeyLength]);
}

void EncodeChunk(const uint8_t* data, size_t length, CompressMode mode, Reply* reply) {
  if (length == 0 || length > static_cast<size_t>(kSessionChunkSize)) {
    // Longer than a chunk cannot come from BuildReply; refuse to frame it
    // rather than send what the client must reject.
    FrameEmpty(reply);
    reply->kind = length == 0 ? ReplyKind::End : ReplyKind::ReadError;
    if (length != 0) reply->note = "chunk longer than the protocol allows";
    return;
  }
  reply->chunkLength = static_cast<uint32_t>(length);
  bool tryCompress = mode == CompressMode::Always ||
                     (mode == CompressMode::Auto &&
                      (length <= kSampleThreshold || SampleCompresses(data, length)));
  size_t packed = tryCompress ? Compress(data, length) : 0;
  if (packed != 0 && (mode == CompressMode::Always || packed < length)) {
    reply->kind = ReplyKind::Compressed;
    reply->wire.resize(kSessionHeaderSize + packed);
    memcpy(reply->wire.data() + kSessionHeaderSize, t_packed.data(), packed);
    PutLengthWord(reply->wire.data(), ReplyLengthWord(true, static_cast<int32_t>(packed)));
    return;
  }
  reply->kind = ReplyKind::Scrambled;
  reply->wire.resize(kSessionHeaderSize + length);
  ScrambleCopy(reply->wire.data() + kSessionHeaderSize, data, length);
  PutLengthWord(reply->wire.data(), ReplyLengthWord(false, static_cast<int32_t>(length)));
}

ReplyPtr BuildReply(const ReleaseRoot& root, const ChunkRequest& request, CompressMode mode,
                    ReplyCache* cache) {
  std::string path;
  struct stat info;
  ReplyKind failure = ReplyKind::Missing;
  std::string why;
  if (!root.Locate(request.name, &path, &info, &failure, &why)) {
    auto reply = std::make_shared<Reply>();
    if (failure != ReplyKind::ReadError) FrameEmpty(reply.get());
    reply->kind = failure;
    reply->note = why;
    return reply;
  }
  uint32_t want = request.chunk < static_cast<uint32_t>(kSessionChunkSize)
                      ? request.chunk
                      : static_cast<uint32_t>(kSessionChunkSize);
  uint64_t offset = request.offset;
  auto build = [&](bool* cacheable) {
    return ReadAndEncode(path, info, offset, want, mode, cacheable);
  };
  if (cache == nullptr) {
    bool ignored;
    return build(&ignored);
  }
  return cache->Get(KeyOf(info, request.offset, want), build);
}

}  // namespace sessiond
