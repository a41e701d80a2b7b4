// Reply building for the session host, apart from the networking so that it
// can be tested on its own: find the named file below the release folder,
// read one chunk, compress or scramble it, and frame it.
#pragma once

#include "transfer/protocol.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace sessiond {

enum class CompressMode { Auto, Always, Never };
bool ParseCompressMode(const std::string& text, CompressMode* mode);
const char* CompressModeName(CompressMode mode);

// What a reply stands for; every kind but Scrambled and Compressed is sent as
// the bare length word 4 (an empty chunk), which ends the file at the client.
enum class ReplyKind {
  Scrambled,   // the chunk, XOR-scrambled
  Compressed,  // the chunk as one zlib stream, bit 31 set
  End,         // the file exists but has no bytes at this offset
  Missing,     // no regular file of that name
  Refused,     // the name would leave the release folder
  ReadError    // the file exists but could not be read
};
const char* ReplyKindName(ReplyKind kind);

struct Reply {
  ReplyKind kind = ReplyKind::End;
  uint32_t chunkLength = 0;   // file bytes the reply carries
  std::vector<uint8_t> wire;  // length word and payload, ready to send
  std::string note;           // why the reply is empty, for the log
};

// The release folder being served, resolved once to its canonical path.
class ReleaseRoot {
 public:
  bool Open(const std::string& folder, std::string* error);
  const std::string& path() const { return root_; }

  // Opens a name as the manifest writes it ('\' separated) for reading.
  // Succeeds only for a regular file whose canonical path, after every
  // symbolic link, lies below the root. Returns the descriptor, or -1 with
  // *kind set to Missing or Refused and *why explaining it.
  int OpenFile(const char* name, ReplyKind* kind, std::string* why) const;

 private:
  std::string root_;    // canonical, no trailing '/' unless it is "/"
  std::string prefix_;  // root_ with exactly one trailing '/'
};

// Reads up to maxLength bytes at offset; fewer at the end of the file.
bool ReadChunk(int fd, uint64_t offset, uint32_t maxLength, std::vector<uint8_t>* chunk,
               std::string* error);

// Frames one chunk (at most kSessionChunkSize bytes) as a reply. An empty
// chunk becomes the bare length word 4 in every mode. Auto compresses when
// the zlib stream is smaller than the chunk; Always compresses unless zlib
// fails; Never scrambles.
void EncodeChunk(const uint8_t* data, size_t length, CompressMode mode, Reply* reply);

// The complete answer to one parsed request.
Reply BuildReply(const ReleaseRoot& root, const ChunkRequest& request, CompressMode mode);

}  // namespace sessiond
