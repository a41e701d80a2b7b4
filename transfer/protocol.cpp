// Session protocol wire format: framing, request text, scrambling, name check.
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

static bool IsSeparator(char c) { return c == '\\' || c == '/'; }

static char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Device names that Windows opens as devices in any folder, with any
// extension: writing to "aux.txt" would not create a file.
static bool IsDeviceName(const char* part, int length) {
  // The name before the first dot, trailing blanks trimmed, decides.
  int base = 0;
  while (base < length && part[base] != '.') base++;
  while (base > 0 && part[base - 1] == ' ') base--;
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kPlain) {
    if (TextLength(device) == base && EqualNoCaseN(part, device, base)) return true;
  }
  if (base != 4) return false;
  char a = FoldCase(part[0]), b = FoldCase(part[1]), c = FoldCase(part[2]);
  bool family = (a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T');
  uint8_t digit = static_cast<uint8_t>(part[3]);
  // '0'-'9', and the superscripts 1, 2 and 3 of the Western code page.
  bool number = (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return family && number;
}

bool IsSafeRelativeName(const char* name) {
  if (name == nullptr || name[0] == 0 || IsSeparator(name[0])) return false;
  const char* part = name;
  for (const char* p = name;; p++) {
    uint8_t c = static_cast<uint8_t>(*p);
    if (c == 0 || IsSeparator(*p)) {
      int length = static_cast<int>(p - part);
      // Windows drops trailing dots and blanks, so ". ." or "..." could act
      // as ".."; an empty component is refused the same way.
      bool onlyDots = true;
      for (int i = 0; i < length; i++)
        if (part[i] != '.' && part[i] != ' ') onlyDots = false;
      if (onlyDots || IsDeviceName(part, length)) return false;
      if (c == 0) return true;
      part = p + 1;
      continue;
    }
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
      case ':': case '<': case '>': case '"': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
}
