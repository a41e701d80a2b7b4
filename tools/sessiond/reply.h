// Reply building for the session host, apart from the networking so that it
// can be tested on its own: find the named file below the release folder,
// read one chunk, compress or scramble it, and frame it. Finished replies of
// file chunks are shared through the reply cache.
#pragma once

#include "tools/common/fd.h"
#include "transfer/protocol.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

namespace sessiond {

class ReplyCache;

enum class CompressMode { Auto, Always, Never };
bool ParseCompressMode(const std::string& text, CompressMode* mode);
const char* CompressModeName(CompressMode mode);

// What a reply stands for. Scrambled and Compressed carry a chunk; End,
// Missing and Refused are sent as the bare length word 4 (an empty chunk),
// which ends the file at the client. ReadError is never sent: the file
// exists, so an empty reply would cut it short at the client; the host closes
// the connection instead and the client tries again.
enum class ReplyKind {
  Scrambled,   // the chunk, XOR-scrambled
  Compressed,  // the chunk as one zlib stream, bit 31 set
  End,         // the file exists but has no bytes at this offset
  Missing,     // no regular file of that name
  Refused,     // the name would leave the release folder or pass a link
  ReadError    // the file exists but could not be opened or read
};
const char* ReplyKindName(ReplyKind kind);

struct Reply {
  ReplyKind kind = ReplyKind::End;
  uint32_t chunkLength = 0;   // file bytes the reply carries
  std::vector<uint8_t> wire;  // length word and payload, ready to send
  std::string note;           // why the reply is empty, for the log
};
// Replies are immutable once built, so connections and the cache share them.
using ReplyPtr = std::shared_ptr<const Reply>;

// The release folder being served, held open: every file is opened below
// this descriptor with no link followed in any component, so a folder or a
// file swapped for a link is refused, not followed. Only the folder's own
// name may be a link (the release switch); it is followed once, by Open.
class ReleaseRoot {
 public:
  bool Open(const std::string& folder, std::string* error);
  // The canonical path of the folder that was opened.
  const std::string& path() const { return root_; }

  // A look at the file of a '/'-separated name without opening it (fstatat,
  // the last component not followed): it names the version a cached reply
  // would stand for, and finds absent files without a descriptor.
  bool Look(const char* relative, struct stat* info) const;
  // Opens the file for reading (OpenBeneath); -1 with errno set.
  int OpenFile(const char* relative) const;

 private:
  std::string root_;
  tools::UniqueFd folder_;
};

// Reads up to maxLength bytes at offset into chunk (which must hold them);
// fewer at the end of the file. Returns the count, or -1 with *error set.
int64_t ReadChunk(int fd, uint64_t offset, uint32_t maxLength, uint8_t* chunk,
                  std::string* error);

// XORs count bytes of from with the scramble key into to (which may be
// from), eight bytes at a time: the same bytes as Descramble.
void ScrambleCopy(uint8_t* to, const uint8_t* from, size_t count);

// Below this many bytes Auto compresses the whole chunk to decide; above it,
// a sample decides whether compressing the chunk is worth trying.
const size_t kSampleThreshold = 64 * 1024;

// Frames one chunk (at most kSessionChunkSize bytes) as a reply. An empty
// chunk becomes the bare length word 4 in every mode. Auto compresses when
// the zlib stream is smaller than the chunk (for a large chunk only when a
// sample of it compresses); Always compresses unless zlib fails; Never
// scrambles.
void EncodeChunk(const uint8_t* data, size_t length, CompressMode mode, Reply* reply);

// The complete answer to one parsed request. With a cache, a chunk of a file
// whose identity (tools::FileIdentity) is unchanged is encoded once and
// shared; an entry is made only from bytes read through OpenFile of a file
// of that very identity, so a hit serves nothing that was outside the
// release when it was read.
ReplyPtr BuildReply(const ReleaseRoot& root, const ChunkRequest& request, CompressMode mode,
                    ReplyCache* cache = nullptr);

}  // namespace sessiond
