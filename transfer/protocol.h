// The session protocol's wire format, shared by the installer (client) and
// the session host (server): message framing, the request text, the reply
// length word, the XOR scrambling and the check that a served name stays
// inside the install folder. No I/O happens here.
//
// Client message: 4-byte little-endian length (4 + text length), then the
// text without terminator. Host reply: 4-byte little-endian length word whose
// bit 31 marks a zlib-compressed payload and whose bits 0-30 are 4 plus the
// payload length, then the payload (a scrambled chunk, or one zlib stream
// that inflates to the chunk). A chunk shorter than a full one ends the file.
#pragma once

#include <stdint.h>

// The check that a served name stays inside the install folder.
#include "tinylib/file_names.h"

enum {
  kSessionHeaderSize = 4,
  // Bytes of a file per request; every request asks for exactly this many.
  kSessionChunkSize = 0x40000,
  // Largest payload a reply may carry: the receive buffer's capacity.
  kSessionReceiveCapacity = kSessionChunkSize + 128,
  // Room for a request text, terminator included.
  kRequestTextCapacity = 260,
  kScrambleKeyLength = 30
};

const uint32_t kReplyCompressedFlag = 0x80000000u;
const uint32_t kReplyLengthMask = 0x7FFFFFFFu;

extern const char kScrambleKey[kScrambleKeyLength + 1];
// The notice the client sends once per session; the host does not answer it.
extern const char kVersionNotice[];  // "#UPDVER"

// XORs count bytes with the key, starting at key byte 0 on every call (each
// reply is scrambled on its own). The same call scrambles and descrambles.
void Descramble(void* buffer, int32_t count);

// Writes "name;offset;chunkSize" and its terminator into buffer and returns
// buffer. Returns nullptr, with buffer holding an empty text, when the text
// would not fit kRequestTextCapacity or offset or chunkSize is negative: the
// caller then does not fetch that item.
char* FormatRequest(char buffer[kRequestTextCapacity], const char* name,
                    int32_t offset, int32_t chunkSize);

// Length words, little-endian whatever the host's byte order.
void PutLengthWord(uint8_t out[kSessionHeaderSize], uint32_t word);
uint32_t GetLengthWord(const uint8_t in[kSessionHeaderSize]);
// The length word of a client message carrying textLength bytes of text.
uint32_t MessageLengthWord(int32_t textLength);
// The length word of a host reply carrying payloadLength bytes.
uint32_t ReplyLengthWord(bool compressed, int32_t payloadLength);

// What a reply's length word announces, and whether the client may read it.
enum ReplyFrame {
  kReplyPayload,        // payloadLength (1 or more) bytes follow
  kReplyEmpty,          // no payload: the chunk is empty, the file has ended
  kReplyBelowHeader,    // bits 0-30 below 4: not a reply of this protocol
  kReplyTooLarge,       // payload would not fit kSessionReceiveCapacity
  kReplyChunkTooLong    // uncompressed payload longer than kSessionChunkSize
};
struct ReplyHeader {
  bool compressed;
  int32_t payloadLength;  // word minus 4; negative for kReplyBelowHeader
  uint32_t countedBytes;  // the word without the flag, for the byte counter
};
// Decodes a reply's length word. Only kReplyPayload and kReplyEmpty may be
// acted on; any other result means the byte stream can no longer be trusted
// (reading on would desynchronise or overflow), so the session is broken.
ReplyFrame DecodeReplyWord(uint32_t word, ReplyHeader* header);

// Splits a request text "name;offset;chunk" as received (length bytes, not
// terminated). The name is everything before the last two ';' (a name may
// itself contain ';'), non-empty and shorter than kRequestTextCapacity;
// offset and chunk are plain decimal digits; offset fits 32 bits unsigned and
// chunk is 1..maxChunk. Returns false for anything else, NUL bytes included.
struct ChunkRequest {
  char name[kRequestTextCapacity];
  uint32_t offset;
  uint32_t chunk;
};
bool ParseChunkRequest(const char* text, int32_t length, uint32_t maxChunk,
                       ChunkRequest* request);
