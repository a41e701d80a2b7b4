// Session protocol wire format: framing, request text, scrambling.
#include "transfer/protocol.h"

#include "tinylib/text.h"

const char kScrambleKey[kScrambleKeyLength + 1] = "8ruk5617mhqtwLLBWgzxao273plnsv";
const char kVersionNotice[] = "#UPDVER";

void Descramble(void* buffer, int32_t count) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  int key = 0;
  for (int32_t i = 0; i < count; i++) {
    if (key == kScrambleKeyLength) key = 0;
    bytes[i] ^= static_cast<uint8_t>(kScrambleKey[key++]);
  }
}

static int DecimalWidth(uint32_t value) {
  int width = 1;
  while (value >= 10) {
    value /= 10;
    width++;
  }
  return width;
}

char* FormatRequest(char buffer[kRequestTextCapacity], const char* name,
                    int32_t offset, int32_t chunkSize) {
  buffer[0] = 0;
  if (name == nullptr || offset < 0 || chunkSize < 0) return nullptr;
  // Measure first: the name comes from the manifest, so its length is
  // unknown, and nothing may be written past the buffer.
  int fixed = 2 + DecimalWidth(static_cast<uint32_t>(offset)) +
              DecimalWidth(static_cast<uint32_t>(chunkSize)) + 1;
  if (!FitsIn(name, static_cast<size_t>(kRequestTextCapacity - fixed + 1))) return nullptr;
  char* end = PutText(buffer, name);
  end = PutChar(end, ';');
  end = PutDecimal(end, offset);
  end = PutChar(end, ';');
  PutDecimal(end, chunkSize);
  return buffer;
}

void PutLengthWord(uint8_t out[kSessionHeaderSize], uint32_t word) {
  out[0] = static_cast<uint8_t>(word);
  out[1] = static_cast<uint8_t>(word >> 8);
  out[2] = static_cast<uint8_t>(word >> 16);
  out[3] = static_cast<uint8_t>(word >> 24);
}

uint32_t GetLengthWord(const uint8_t in[kSessionHeaderSize]) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

uint32_t MessageLengthWord(int32_t textLength) {
  return static_cast<uint32_t>(kSessionHeaderSize) + static_cast<uint32_t>(textLength);
}

uint32_t ReplyLengthWord(bool compressed, int32_t payloadLength) {
  uint32_t word = static_cast<uint32_t>(kSessionHeaderSize) + static_cast<uint32_t>(payloadLength);
  return compressed ? word | kReplyCompressedFlag : word;
}

ReplyFrame DecodeReplyWord(uint32_t word, ReplyHeader* header) {
  header->compressed = (word & kReplyCompressedFlag) != 0;
  header->countedBytes = word & kReplyLengthMask;
  // Bits 0-30 minus 4 always fits a signed 32-bit value.
  header->payloadLength = static_cast<int32_t>(header->countedBytes) - kSessionHeaderSize;
  if (header->payloadLength < 0) return kReplyBelowHeader;
  if (header->payloadLength == 0) return kReplyEmpty;
  if (header->payloadLength > kSessionReceiveCapacity) return kReplyTooLarge;
  if (!header->compressed && header->payloadLength > kSessionChunkSize) return kReplyChunkTooLong;
  return kReplyPayload;
}

// Reads plain decimal digits text[from..to) into *value; false when the run is
// empty, holds anything but digits, or exceeds 32 bits.
static bool ReadDigits(const char* text, int32_t from, int32_t to, uint32_t* value) {
  if (from >= to) return false;
  uint64_t total = 0;
  for (int32_t i = from; i < to; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    total = total * 10 + static_cast<uint64_t>(text[i] - '0');
    if (total > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(total);
  return true;
}

bool ParseChunkRequest(const char* text, int32_t length, uint32_t maxChunk,
                       ChunkRequest* request) {
  request->name[0] = 0;
  if (length <= 0) return false;
  int32_t second = -1;  // the last ';'
  int32_t first = -1;   // the one before it
  for (int32_t i = 0; i < length; i++) {
    if (text[i] == 0) return false;
    if (text[i] == ';') {
      first = second;
      second = i;
    }
  }
  if (first <= 0 || first >= kRequestTextCapacity) return false;
  uint32_t offset = 0;
  uint32_t chunk = 0;
  if (!ReadDigits(text, first + 1, second, &offset)) return false;
  if (!ReadDigits(text, second + 1, length, &chunk)) return false;
  if (chunk == 0 || chunk > maxChunk) return false;
  PutChars(request->name, text, first);
  request->offset = offset;
  request->chunk = chunk;
  return true;
}
