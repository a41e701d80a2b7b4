// Reply building for the session host.
#include "tools/sessiond/reply.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "tools/common/fd.h"
#include "tools/common/paths.h"

namespace sessiond {

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

int ReleaseRoot::OpenFile(const char* name, ReplyKind* kind, std::string* why) const {
  *kind = ReplyKind::Refused;
  if (!IsSafeRelativeName(name)) {
    *why = "unsafe name";
    return -1;
  }
  std::string relative(name);
  for (char& c : relative)
    if (c == '\\') c = '/';
  // The name itself cannot climb out (checked above), but a symbolic link
  // inside the release folder can point anywhere: judge the resolved path.
  std::string canonical = tools::CanonicalPath(prefix_ + relative);
  if (canonical.empty()) {
    *kind = ReplyKind::Missing;
    *why = strerror(errno);
    return -1;
  }
  if (canonical.compare(0, prefix_.size(), prefix_) != 0 || canonical.size() == prefix_.size()) {
    *why = "resolves outside the release folder";
    return -1;
  }
  // O_NOFOLLOW: the resolved path has no links left, so one appearing now is
  // a swap made after the check. O_NONBLOCK: never hang on a FIFO.
  int fd = open(canonical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *kind = errno == ELOOP ? ReplyKind::Refused : ReplyKind::Missing;
    *why = strerror(errno);
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    *kind = ReplyKind::Missing;
    *why = "not a regular file";
    return -1;
  }
  return fd;
}

bool ReadChunk(int fd, uint64_t offset, uint32_t maxLength, std::vector<uint8_t>* chunk,
               std::string* error) {
  chunk->resize(maxLength);
  size_t filled = 0;
  while (filled < maxLength) {
    ssize_t got = pread(fd, chunk->data() + filled, maxLength - filled,
                        static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = strerror(errno);
      chunk->clear();
      return false;
    }
    if (got == 0) break;  // end of file: a short last chunk
    filled += static_cast<size_t>(got);
  }
  chunk->resize(filled);
  return true;
}

static void FrameEmpty(Reply* reply) {
  reply->chunkLength = 0;
  reply->wire.assign(kSessionHeaderSize, 0);
  PutLengthWord(reply->wire.data(), ReplyLengthWord(false, 0));
}

// Compresses data behind a 4-byte header gap in wire; false when zlib fails or
// the stream would not fit the client's receive buffer.
static bool Compress(const uint8_t* data, size_t length, std::vector<uint8_t>* wire) {
  uLongf bound = compressBound(static_cast<uLong>(length));
  wire->resize(kSessionHeaderSize + bound);
  uLongf packed = bound;
  int rc = compress2(wire->data() + kSessionHeaderSize, &packed, data,
                     static_cast<uLong>(length), Z_DEFAULT_COMPRESSION);
  if (rc != Z_OK || packed > static_cast<uLongf>(kSessionReceiveCapacity)) return false;
  wire->resize(kSessionHeaderSize + packed);
  return true;
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
  if (mode != CompressMode::Never && Compress(data, length, &reply->wire) &&
      (mode == CompressMode::Always || reply->wire.size() - kSessionHeaderSize < length)) {
    reply->kind = ReplyKind::Compressed;
    int32_t payload = static_cast<int32_t>(reply->wire.size() - kSessionHeaderSize);
    PutLengthWord(reply->wire.data(), ReplyLengthWord(true, payload));
    return;
  }
  reply->kind = ReplyKind::Scrambled;
  reply->wire.resize(kSessionHeaderSize + length);
  memcpy(reply->wire.data() + kSessionHeaderSize, data, length);
  Descramble(reply->wire.data() + kSessionHeaderSize, static_cast<int32_t>(length));
  PutLengthWord(reply->wire.data(), ReplyLengthWord(false, static_cast<int32_t>(length)));
}

Reply BuildReply(const ReleaseRoot& root, const ChunkRequest& request, CompressMode mode) {
  Reply reply;
  ReplyKind failure = ReplyKind::Missing;
  tools::UniqueFd file(root.OpenFile(request.name, &failure, &reply.note));
  if (!file.valid()) {
    FrameEmpty(&reply);
    reply.kind = failure;
    return reply;
  }
  uint32_t want = request.chunk < static_cast<uint32_t>(kSessionChunkSize)
                      ? request.chunk
                      : static_cast<uint32_t>(kSessionChunkSize);
  std::vector<uint8_t> chunk;
  bool read = ReadChunk(file.get(), request.offset, want, &chunk, &reply.note);
  file.Reset();
  if (!read) {
    FrameEmpty(&reply);
    reply.kind = ReplyKind::ReadError;
    return reply;
  }
  if (chunk.empty()) {
    FrameEmpty(&reply);
    reply.kind = ReplyKind::End;
    return reply;
  }
  EncodeChunk(chunk.data(), chunk.size(), mode, &reply);
  return reply;
}

}  // namespace sessiond
