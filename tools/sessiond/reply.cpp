// Reply building for the session host.
#include "tools/sessiond/reply.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "tools/common/beneath.h"
#include "tools/common/fd.h"
#include "tools/common/file_identity.h"
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
// else) into *packed (grown as needed; its size is not the stream's). The
// stream's length, or 0 when zlib fails or the stream would not fit the
// client's receive buffer.
size_t Compress(const uint8_t* data, size_t length, std::vector<uint8_t>* packed) {
  uLongf bound = compressBound(static_cast<uLong>(length));
  if (packed->size() < bound) packed->resize(bound);
  uLongf size = bound;
  int rc = compress2(packed->data(), &size, data, static_cast<uLong>(length),
                     Z_DEFAULT_COMPRESSION);
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

// Why an open below the release failed, as a reply.
ReplyKind OpenFailure(int error) {
  if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return ReplyKind::Missing;
  if (error == ELOOP || error == EXDEV) return ReplyKind::Refused;
  // Out of descriptors, an I/O error: says nothing about the file.
  return ReplyKind::ReadError;
}

// Opens, reads and encodes one chunk of the named file. *cacheable tells
// whether the bytes read are those of the identity expected (when given):
// the file opened is that version, and was not written during the read.
ReplyPtr ReadAndEncode(const ReleaseRoot& root, const char* relative,
                       const tools::FileIdentity* expected, uint64_t offset, uint32_t want,
                       CompressMode mode, bool* cacheable) {
  auto reply = std::make_shared<Reply>();
  *cacheable = false;
  tools::UniqueFd file(root.OpenFile(relative));
  struct stat before, after;
  if (!file.valid()) {
    reply->kind = OpenFailure(errno);
    reply->note = errno == ELOOP ? "a link (links are not followed)" : strerror(errno);
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
      *cacheable = expected != nullptr && tools::IdentityOf(before) == *expected &&
                   fstat(file.get(), &after) == 0 && tools::IdentityOf(after) == *expected;
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
  // Following the folder's own link here is the release switch; below it
  // nothing is followed.
  std::string canonical;
  tools::UniqueFd opened(tools::OpenRoot(folder, &canonical));
  if (!opened.valid()) {
    *error = folder + (errno == ENOTDIR ? ": not a folder" : ": " + std::string(strerror(errno)));
    return false;
  }
  root_ = canonical;
  folder_ = std::move(opened);
  return true;
}

bool ReleaseRoot::Look(const char* relative, struct stat* info) const {
  return fstatat(folder_.get(), relative, info, AT_SYMLINK_NOFOLLOW) == 0;
}

int ReleaseRoot::OpenFile(const char* relative) const {
  // O_NONBLOCK: never hang on a FIFO before fstat tells what it is.
  return tools::OpenBeneath(folder_.get(), relative, O_RDONLY | O_NONBLOCK);
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
  std::vector<uint8_t>& stream = t_packed;
  size_t packed = tryCompress ? Compress(data, length, &stream) : 0;
  if (packed != 0 && (mode == CompressMode::Always || packed < length)) {
    reply->kind = ReplyKind::Compressed;
    reply->wire.resize(kSessionHeaderSize + packed);
    memcpy(reply->wire.data() + kSessionHeaderSize, stream.data(), packed);
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
  auto refuse = [](ReplyKind kind, const char* why) {
    auto reply = std::make_shared<Reply>();
    FrameEmpty(reply.get());
    reply->kind = kind;
    reply->note = why;
    return reply;
  };
  if (!IsSafeRelativeName(request.name)) return refuse(ReplyKind::Refused, "unsafe name");
  char relative[sizeof request.name];
  snprintf(relative, sizeof relative, "%s", request.name);
  for (char* c = relative; *c; c++)
    if (*c == '\\') *c = '/';
  uint32_t want = request.chunk < static_cast<uint32_t>(kSessionChunkSize)
                      ? request.chunk
                      : static_cast<uint32_t>(kSessionChunkSize);
  uint64_t offset = request.offset;

  // A look first: an absent file needs no descriptor, and a cached chunk of
  // the version it finds none either.
  struct stat seen;
  bool present = root.Look(relative, &seen);
  if (!present && (errno == ENOENT || errno == ENOTDIR))
    return refuse(ReplyKind::Missing, strerror(errno));
  if (present && S_ISLNK(seen.st_mode))
    return refuse(ReplyKind::Refused, "a link (links are not followed)");
  // Nothing but a regular file is ever opened (a device could act on it).
  if (present && !S_ISREG(seen.st_mode)) return refuse(ReplyKind::Missing, "not a regular file");
  if (cache == nullptr || !present) {
    bool ignored;
    return ReadAndEncode(root, relative, nullptr, offset, want, mode, &ignored);
  }
  const tools::FileIdentity identity = tools::IdentityOf(seen);
  return cache->Get(KeyOf(identity, request.offset, want), [&](bool* cacheable) {
    return ReadAndEncode(root, relative, &identity, offset, want, mode, cacheable);
  });
}

}  // namespace sessiond
