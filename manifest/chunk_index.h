// The release chunk index "files.ver.idx": for every file of files.ver, the
// chunks it is cut into (tinylib/chunker.h), each as its length and name.
// Binary, little-endian, nothing after the last record:
//
//   header  8 bytes magic "\0BRVCIX1" (the NUL first: no text parser reads
//           it as a manifest), uint32 Min, Average, Max of the chunker,
//           32 bytes SHA-256 of the files.ver it belongs to, uint32 files
//   file    uint8 name length (1..63), the name as in files.ver, uint32 size,
//           32 bytes SHA-256 of the file, uint32 chunk count, then per
//           chunk 3 bytes length and kChunkIdLength bytes of its name
//
// Files are in strictly increasing byte order of their names. A chunk is
// 1..Max bytes, every chunk but a file's last at least Min; the lengths add
// up to the file's size. The parser refuses anything else, and any index
// over kChunkIndexLimit bytes, before it delivers a single file.
//
// Chunk objects on a mirror are "chunks/" + the first two hex digits of
// the name + "/" + the name's 32 hex digits: the chunk's bytes as one zlib
// stream, never changed once written (the name is its content).
#pragma once

#include <stdint.h>

#include "manifest/manifest_text.h"
#include "tinylib/chunker.h"

enum {
  // 19 bytes a chunk of 4 KiB on average: an index of 24 MiB covers a
  // release of about 5 GiB.
  kChunkIndexLimit = 24 * 1024 * 1024,
  kChunkIndexHeaderSize = 56,
  kChunkRecordSize = 3 + kChunkIdLength,
  kChunkObjectNameCapacity = 7 + 3 + 2 * kChunkIdLength + 1,  // "chunks/ab/" + hex + NUL
};

extern const char kChunkIndexMagic[8];

struct ChunkIndexHeader {
  ChunkSizes Sizes;
  uint8_t ManifestDigest[kSha256Size];
  uint32_t FileCount;
};

// One file's entry; the pointers point into the parsed bytes.
struct ChunkIndexFile {
  const char* Name;  // not terminated
  int32_t NameLength;
  int32_t Size;
  const uint8_t* Digest;  // kSha256Size bytes
  int32_t ChunkCount;
  const uint8_t* Chunks;  // ChunkCount records of kChunkRecordSize bytes
};

enum ChunkIndexResult {
  kChunkIndexOk,
  kChunkIndexTooLarge,  // over kChunkIndexLimit
  kChunkIndexBadHeader,  // magic, or chunk sizes the chunker does not accept
  kChunkIndexBadFile,   // a name, size or count out of bounds or out of order
  kChunkIndexBadChunk,  // a chunk length out of bounds, or lengths that miss the size
  kChunkIndexTruncated,  // ends inside a record
  kChunkIndexTrailing,  // bytes after the last file
};

// Called for each file, in index order, once the whole index has passed.
struct ChunkIndexSink {
  void* Context;
  void (*File)(void* context, const ChunkIndexFile& file);
};

// Checks length bytes of index; on kChunkIndexOk fills *header and, when
// sink is not null, delivers every file to it.
ChunkIndexResult ParseChunkIndex(const uint8_t* data, int32_t length, ChunkIndexHeader* header,
                                 const ChunkIndexSink* sink);

const char* ChunkIndexResultText(ChunkIndexResult result);

// Chunk i (0 <= i < ChunkCount) of a delivered file: its length, and its
// name's bytes.
int32_t ChunkIndexChunkLength(const ChunkIndexFile& file, int32_t i);
const uint8_t* ChunkIndexChunkId(const ChunkIndexFile& file, int32_t i);

// "chunks/ab/<32 hex digits>" for a chunk's name.
void ChunkObjectName(const uint8_t id[kChunkIdLength], char name[kChunkObjectNameCapacity]);

// Whether the installer may use a well-formed index, in this order.
enum ChunkIndexTrust {
  kChunkIndexUsable,
  kChunkIndexOtherManifest,  // names another files.ver than the one accepted
  kChunkIndexOtherSizes,     // cut with sizes this chunker does not take
  kChunkIndexUnsigned,       // a keyed build, and no files.ver.idx.sig came
  kChunkIndexBadSignature,   // malformed, another key, or not these index bytes
  kChunkIndexOtherSerial,    // signed for another release than files.ver.sig
};

// key is null in a keyless build: then the index is a hint the whole-file
// SHA-256 checks, and only its manifest hash matters. With a key, the index
// must come with files.ver.idx.sig (sigText; null when none came) that
// verifies with it over indexDigest (SHA-256 of the index bytes), carries
// manifestSerial (of the accepted files.ver.sig) and has not expired.
ChunkIndexTrust JudgeChunkIndex(const ChunkIndexHeader& header,
                                const uint8_t manifestDigest[kSha256Size],
                                const uint8_t* key, const char* sigText, int32_t sigLength,
                                const uint8_t indexDigest[kSha256Size], uint32_t manifestSerial,
                                int64_t now);
