// The release chunk index (see chunk_index.h).
#include "manifest/chunk_index.h"

#include <string.h>

#include "manifest/release_key.h"

const char kChunkIndexMagic[8] = {'\0', 'B', 'R', 'V', 'C', 'I', 'X', '1'};

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t Le24(const uint8_t* p) {
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16);
}

// Byte order, a shorter name before its extensions.
int CompareNames(const char* a, int32_t aLength, const char* b, int32_t bLength) {
  int32_t common = aLength < bLength ? aLength : bLength;
  int order = memcmp(a, b, static_cast<size_t>(common));
  if (order != 0) return order;
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

// Reads the file record at *at; checks it against the sizes and the name
// before it (null for the first). Advances *at past it.
ChunkIndexResult ReadFileRecord(const uint8_t* data, int32_t length, const ChunkSizes& sizes,
                                const ChunkIndexFile* previous, int32_t* at,
                                ChunkIndexFile* file) {
  int32_t p = *at;
  if (length - p < 1) return kChunkIndexTruncated;
  const int32_t nameLength = data[p++];
  if (nameLength < 1 || nameLength >= kManifestNameCapacity) return kChunkIndexBadFile;
  if (length - p < nameLength + 4 + kSha256Size + 4) return kChunkIndexTruncated;
  file->Name = reinterpret_cast<const char*>(data + p);
  file->NameLength = nameLength;
  for (int32_t i = 0; i < nameLength; i++) {
    if (data[p + i] < 0x20) return kChunkIndexBadFile;
  }
  if (previous != nullptr &&
      CompareNames(previous->Name, previous->NameLength, file->Name, nameLength) >= 0) {
    return kChunkIndexBadFile;
  }
  p += nameLength;
  const uint32_t size = Le32(data + p);
  p += 4;
  if (size > 0x7FFFFFFFu) return kChunkIndexBadFile;
  file->Size = static_cast<int32_t>(size);
  file->Digest = data + p;
  p += kSha256Size;
  const uint32_t count = Le32(data + p);
  p += 4;
  // Every chunk but the last holds Min bytes or more.
  const uint32_t mostChunks = size / static_cast<uint32_t>(sizes.Min) + 1;
  if ((size == 0) != (count == 0) || count > mostChunks) return kChunkIndexBadFile;
  if (static_cast<uint32_t>(length - p) / kChunkRecordSize < count) return kChunkIndexTruncated;
  file->ChunkCount = static_cast<int32_t>(count);
  file->Chunks = data + p;
  int64_t total = 0;
  for (uint32_t i = 0; i < count; i++) {
    const int32_t chunk = Le24(data + p);
    p += kChunkRecordSize;
    if (chunk < 1 || chunk > sizes.Max || (i + 1 < count && chunk < sizes.Min))
      return kChunkIndexBadChunk;
    total += chunk;
  }
  if (total != size) return kChunkIndexBadChunk;
  *at = p;
  return kChunkIndexOk;
}

}  // namespace

ChunkIndexResult ParseChunkIndex(const uint8_t* data, int32_t length, ChunkIndexHeader* header,
                                 const ChunkIndexSink* sink) {
  if (length > kChunkIndexLimit) return kChunkIndexTooLarge;
  if (data == nullptr || length < kChunkIndexHeaderSize) return kChunkIndexTruncated;
  if (memcmp(data, kChunkIndexMagic, sizeof kChunkIndexMagic) != 0) return kChunkIndexBadHeader;
  ChunkIndexHeader parsed;
  const uint32_t min = Le32(data + 8), average = Le32(data + 12), max = Le32(data + 16);
  if (min > kChunkLargest || average > kChunkLargest || max > kChunkLargest)
    return kChunkIndexBadHeader;
  parsed.Sizes.Min = static_cast<int32_t>(min);
  parsed.Sizes.Average = static_cast<int32_t>(average);
  parsed.Sizes.Max = static_cast<int32_t>(max);
  if (!ChunkSizesValid(parsed.Sizes)) return kChunkIndexBadHeader;
  memcpy(parsed.ManifestDigest, data + 20, kSha256Size);
  parsed.FileCount = Le32(data + 52);

  // Pass one checks everything; pass two delivers, so that the caller never
  // acts on part of an index that turns out bad further on.
  for (int pass = 0; pass < (sink != nullptr ? 2 : 1); pass++) {
    int32_t at = kChunkIndexHeaderSize;
    ChunkIndexFile files[2];
    for (uint32_t i = 0; i < parsed.FileCount; i++) {
      ChunkIndexFile* file = &files[i & 1];
      ChunkIndexResult result =
          ReadFileRecord(data, length, parsed.Sizes, i == 0 ? nullptr : &files[(i + 1) & 1], &at, file);
      if (result != kChunkIndexOk) return result;
      if (pass == 1) sink->File(sink->Context, *file);
    }
    if (at != length) return kChunkIndexTrailing;
    if (pass == 0) *header = parsed;
  }
  return kChunkIndexOk;
}

const char* ChunkIndexResultText(ChunkIndexResult result) {
  switch (result) {
    case kChunkIndexOk: return "well-formed";
    case kChunkIndexTooLarge: return "too large";
    case kChunkIndexBadHeader: return "not a chunk index of a known kind";
    case kChunkIndexBadFile: return "a file record out of bounds or order";
    case kChunkIndexBadChunk: return "chunk lengths out of bounds";
    case kChunkIndexTruncated: return "cut short";
    case kChunkIndexTrailing: return "bytes after the last file";
  }
  return "unknown";
}

int32_t ChunkIndexChunkLength(const ChunkIndexFile& file, int32_t i) {
  return Le24(file.Chunks + i * kChunkRecordSize);
}

const uint8_t* ChunkIndexChunkId(const ChunkIndexFile& file, int32_t i) {
  return file.Chunks + i * kChunkRecordSize + 3;
}

void ChunkObjectName(const uint8_t id[kChunkIdLength], char name[kChunkObjectNameCapacity]) {
  static const char kDigits[] = "0123456789abcdef";
  memcpy(name, "chunks/", 7);
  name[7] = kDigits[id[0] >> 4];
  name[8] = kDigits[id[0] & 15];
  name[9] = '/';
  for (int i = 0; i < kChunkIdLength; i++) {
    name[10 + 2 * i] = kDigits[id[i] >> 4];
    name[11 + 2 * i] = kDigits[id[i] & 15];
  }
  name[10 + 2 * kChunkIdLength] = '\0';
}

ChunkIndexTrust JudgeChunkIndex(const ChunkIndexHeader& header,
                                const uint8_t manifestDigest[kSha256Size],
                                const uint8_t* key, const char* sigText, int32_t sigLength,
                                const uint8_t indexDigest[kSha256Size], uint32_t manifestSerial,
                                int64_t now) {
  if (memcmp(header.ManifestDigest, manifestDigest, kSha256Size) != 0)
    return kChunkIndexOtherManifest;
  if (!ChunkSizesValid(header.Sizes)) return kChunkIndexOtherSizes;
  if (key == nullptr) return kChunkIndexUsable;
  if (sigText == nullptr) return kChunkIndexUnsigned;
  // The manifest's own check, with the index in the manifest's place: the
  // serial must be the accepted one, so no rollback bound is needed here.
  ReleaseSignature accepted;
  if (CheckReleaseManifest(key, sigText, sigLength, indexDigest, now, 0, &accepted) != kReleaseOk)
    return kChunkIndexBadSignature;
  return accepted.Serial == manifestSerial ? kChunkIndexUsable : kChunkIndexOtherSerial;
}
