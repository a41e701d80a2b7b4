// Session wire format: the byte-exact framing both ends must agree on, the
// bounds that keep a hostile reply or name from writing where it should not.
#include "transfer/protocol.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

TEST(Descramble, KeyRestartsAfterThirtyBytesAndOnEveryCall) {
  uint8_t buffer[35];
  memset(buffer, 0, sizeof buffer);
  Descramble(buffer, 35);
  EXPECT_EQ(memcmp(buffer, kScrambleKey, 30), 0);
  EXPECT_EQ(memcmp(buffer + 30, kScrambleKey, 5), 0);

  // A second reply starts at key byte 0 again, and the step is its own inverse.
  uint8_t again[3] = {0, 0, 0};
  Descramble(again, 3);
  EXPECT_EQ(memcmp(again, "8ru", 3), 0);
  Descramble(buffer, 35);
  for (uint8_t byte : buffer) EXPECT_EQ(byte, 0);
  EXPECT_EQ(strlen(kScrambleKey), 30u);
}

TEST(Framing, RequestAndNoticeAreByteExact) {
  char text[kRequestTextCapacity];
  ASSERT_EQ(FormatRequest(text, "files.ver", 0, 262144), text);
  EXPECT_STREQ(text, "files.ver;0;262144");
  uint8_t word[4];
  PutLengthWord(word, MessageLengthWord(static_cast<int32_t>(strlen(text))));
  const uint8_t manifest[4] = {0x16, 0, 0, 0};
  EXPECT_EQ(memcmp(word, manifest, 4), 0);

  PutLengthWord(word, MessageLengthWord(static_cast<int32_t>(strlen(kVersionNotice))));
  const uint8_t notice[4] = {0x0B, 0, 0, 0};
  EXPECT_EQ(memcmp(word, notice, 4), 0);
  EXPECT_STREQ(kVersionNotice, "#UPDVER");

  ASSERT_NE(FormatRequest(text, "bin\\app.dll", 524288, 262144), nullptr);
  EXPECT_STREQ(text, "bin\\app.dll;524288;262144");
}

TEST(Framing, LengthWordIsLittleEndianWithFlagInTopBit) {
  const uint8_t bytes[4] = {0x04, 0x00, 0x04, 0x80};
  EXPECT_EQ(GetLengthWord(bytes), 0x80040004u);
  uint8_t out[4];
  PutLengthWord(out, ReplyLengthWord(true, 0x40000));
  EXPECT_EQ(memcmp(out, bytes, 4), 0);
  EXPECT_EQ(ReplyLengthWord(false, 0), 4u);
}

TEST(FormatRequest, NeverWritesPastItsBufferAndRefusesWhatDoesNotFit) {
  // Longest offset (10 digits) and the chunk (6): the name may be 241 long.
  char area[kRequestTextCapacity + 40];
  memset(area, 'Z', sizeof area);
  std::string name(241, 'n');
  ASSERT_NE(FormatRequest(area, name.c_str(), 2147483647, 262144), nullptr);
  EXPECT_EQ(strlen(area), static_cast<size_t>(kRequestTextCapacity - 1));
  EXPECT_EQ(area[kRequestTextCapacity], 'Z');

  memset(area, 'Z', sizeof area);
  name.push_back('n');
  EXPECT_EQ(FormatRequest(area, name.c_str(), 2147483647, 262144), nullptr);
  EXPECT_EQ(area[0], 0);
  for (size_t i = kRequestTextCapacity; i < sizeof area; i++) ASSERT_EQ(area[i], 'Z');

  // With a short offset the same name fits.
  EXPECT_NE(FormatRequest(area, name.c_str(), 0, 262144), nullptr);
  EXPECT_EQ(FormatRequest(area, "x", -1, 262144), nullptr);
  EXPECT_EQ(FormatRequest(area, std::string(300, 'n').c_str(), 0, 1), nullptr);
}

TEST(DecodeReplyWord, BoundariesOfTheReceiveBuffer) {
  struct Case {
    uint32_t word;
    ReplyFrame frame;
    bool compressed;
    int32_t payload;
  };
  const uint32_t F = kReplyCompressedFlag;
  const Case cases[] = {
      {4, kReplyEmpty, false, 0},
      {F | 4, kReplyEmpty, true, 0},
      {5, kReplyPayload, false, 1},
      {0, kReplyBelowHeader, false, -4},
      {3, kReplyBelowHeader, false, -1},
      {F, kReplyBelowHeader, true, -4},
      {4 + 262144, kReplyPayload, false, 262144},
      {4 + 262145, kReplyChunkTooLong, false, 262145},
      {F | (4 + 262145), kReplyPayload, true, 262145},
      {F | (4 + 262272), kReplyPayload, true, 262272},
      {F | (4 + 262273), kReplyTooLarge, true, 262273},
      {4 + 262273, kReplyTooLarge, false, 262273},
      {0x7FFFFFFFu, kReplyTooLarge, false, 0x7FFFFFFB},
      {0xFFFFFFFFu, kReplyTooLarge, true, 0x7FFFFFFB},
  };
  for (const Case& c : cases) {
    ReplyHeader header;
    EXPECT_EQ(DecodeReplyWord(c.word, &header), c.frame) << std::hex << c.word;
    EXPECT_EQ(header.compressed, c.compressed) << std::hex << c.word;
    EXPECT_EQ(header.payloadLength, c.payload) << std::hex << c.word;
    EXPECT_EQ(header.countedBytes, c.word & kReplyLengthMask) << std::hex << c.word;
  }
}

TEST(ParseChunkRequest, AcceptsOnlyStrictRequests) {
  struct Case {
    std::string text;
    bool ok;
    const char* name;
    uint32_t offset;
    uint32_t chunk;
  };
  const Case cases[] = {
      {"files.ver;0;262144", true, "files.ver", 0, 262144},
      {"bin\\app.dll;524288;262144", true, "bin\\app.dll", 524288, 262144},
      {"a;b;10;5", true, "a;b", 10, 5},
      {"x;4294967295;1", true, "x", 4294967295u, 1},
      {"x;007;1", true, "x", 7, 1},
      {std::string(259, 'n') + ";0;1", true, nullptr, 0, 1},
      {std::string(260, 'n') + ";0;1", false, nullptr, 0, 0},
      {"", false, nullptr, 0, 0},
      {"files.ver", false, nullptr, 0, 0},
      {"x;1", false, nullptr, 0, 0},
      {";0;1", false, nullptr, 0, 0},
      {"x;;1", false, nullptr, 0, 0},
      {"x;1;", false, nullptr, 0, 0},
      {"x;-1;1", false, nullptr, 0, 0},
      {"x;+1;1", false, nullptr, 0, 0},
      {"x; 1;1", false, nullptr, 0, 0},
      {"x;1;1 ", false, nullptr, 0, 0},
      {"x;0x10;1", false, nullptr, 0, 0},
      {"x;4294967296;1", false, nullptr, 0, 0},
      {"x;0;0", false, nullptr, 0, 0},
      {"x;0;262145", false, nullptr, 0, 0},
      {std::string("x\0y;0;1", 7), false, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    ChunkRequest request;
    bool ok = ParseChunkRequest(c.text.data(), static_cast<int32_t>(c.text.size()),
                                kSessionChunkSize, &request);
    ASSERT_EQ(ok, c.ok) << c.text;
    if (!ok) continue;
    if (c.name != nullptr) {
      EXPECT_STREQ(request.name, c.name);
    }
    EXPECT_EQ(request.offset, c.offset) << c.text;
    EXPECT_EQ(request.chunk, c.chunk) << c.text;
  }
}
