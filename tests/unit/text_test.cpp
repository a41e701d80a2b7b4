// Text helpers: the cases where an off-by-one or a wrong stop would corrupt
// a path or a keyword.
#include "tinylib/text.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(TextSearch, FindCharVariantsTreatTheTerminatorDifferently) {
  const char text[] = "C:\\A\\B.exe";
  EXPECT_EQ(FindChar(text, 0), text + 10);
  EXPECT_EQ(FindCharFirst(text, 0), nullptr);
  EXPECT_EQ(FindCharLast(text, 0), nullptr);
  EXPECT_EQ(FindCharFirst(text, '\\'), text + 2);
  EXPECT_EQ(FindCharLast(text, '\\'), text + 4);
  EXPECT_EQ(FindCharLast("plain", '\\'), nullptr);
  EXPECT_EQ(FindChar("plain", 'x'), nullptr);
  EXPECT_EQ(TextLength(""), 0);
}

TEST(TextCopy, PutTextChainsLeftToRight) {
  char buf[32];
  char* end = PutText(buf, "C:\\A\\");
  end = PutText(end, "x.dat");
  EXPECT_STREQ(buf, "C:\\A\\x.dat");
  EXPECT_EQ(end, buf + 10);
}

TEST(TextCopy, PutCharsCopiesExactlyNIncludingTerminators) {
  char buf[8];
  memset(buf, 'z', sizeof buf);
  char* end = PutChars(buf, "ab", 3);
  EXPECT_EQ(end, buf + 3);
  EXPECT_EQ(memcmp(buf, "ab\0\0", 4), 0);
  EXPECT_EQ(buf[4], 'z');
  EXPECT_EQ(PutChars(buf, "ab", 0), buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(PutChars(buf, "ab", -5), buf);
}

TEST(TextCopy, PutFirstLineStopsAtCarriageReturnOnly) {
  char buf[32];
  PutFirstLine(buf, "Brevane\nClient\r\nrest");
  EXPECT_STREQ(buf, "Brevane\nClient");
  PutFirstLine(buf, "no line end");
  EXPECT_STREQ(buf, "no line end");
}

TEST(TextCopy, PutCharWritesNoTerminator) {
  char buf[4] = {'x', 'x', 'x', 0};
  EXPECT_EQ(PutChar(buf, 'a'), buf + 1);
  EXPECT_EQ(buf[1], 'x');
}

TEST(TextCopy, PutDecimalWritesPlainDigits) {
  struct Case { int32_t value; const char* text; } cases[] = {
      {0, "0"}, {7, "7"}, {262144, "262144"}, {2147483647, "2147483647"},
      {-1, "-1"}, {INT32_MIN, "-2147483648"},
  };
  for (const auto& c : cases) {
    char buf[16];
    memset(buf, 'z', sizeof buf);
    char* end = PutDecimal(buf, c.value);
    EXPECT_STREQ(buf, c.text) << c.value;
    EXPECT_EQ(end, buf + strlen(c.text));
  }
}

TEST(TextJoin, JoinAppendsWhenFirstIsTheDestination) {
  char buf[32] = "C:\\A";
  EXPECT_EQ(JoinText(buf, buf, "\\", "x"), buf);
  EXPECT_STREQ(buf, "C:\\A\\x");
  JoinText(buf, "one", nullptr, "ignored");
  EXPECT_STREQ(buf, "one");
  JoinText(buf, "a", "b", "c");
  EXPECT_STREQ(buf, "abc");
  AppendText(buf, "d");
  EXPECT_STREQ(buf, "abcd");
  AppendText(buf, "e", "f");
  EXPECT_STREQ(buf, "abcdef");
  // An equal text elsewhere is copied, not appended to.
  char other[] = "abcdef";
  JoinText(buf, other, "!");
  EXPECT_STREQ(buf, "abcdef!");
}

TEST(TextPaths, EnsureBackslash) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"C:\\A", "C:\\A\\"}, {"C:\\A\\", "C:\\A\\"}, {"", ""}, {"x", "x\\"},
  };
  for (const auto& c : cases) {
    char buf[16];
    strcpy(buf, c.in);
    char* end = EnsureBackslash(buf);
    EXPECT_STREQ(buf, c.out);
    EXPECT_EQ(end, buf + strlen(c.out));
  }
}

TEST(TextPaths, ReplaceExtensionUsesTheLastDotAnywhere) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"C:\\Apps\\Pellinor.exe", "C:\\Apps\\Pellinor.ver"},
      {"C:\\x.y\\setup", "C:\\x.ver"},
      {"a.b.exe", "a.b.ver"},
      {"C:\\dir\\setup", "C:\\dir\\setup.ver"},  // no dot: appended
      {"x.", "x.ver"},
  };
  for (const auto& c : cases) {
    char buf[64];
    strcpy(buf, c.in);
    EXPECT_EQ(ReplaceExtension(buf, "ver"), buf);
    EXPECT_STREQ(buf, c.out) << c.in;
  }
}

TEST(TextParse, ReadDecimalStopsAtFirstNonDigit) {
  const char* cursor = "7000/x";
  EXPECT_EQ(ReadDecimal(cursor), 7000u);
  EXPECT_EQ(*cursor, '/');
  const char* letters = "x";
  EXPECT_EQ(ReadDecimal(letters), 0u);
  EXPECT_EQ(*letters, 'x');
  EXPECT_EQ(DecimalOf("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(DecimalOf("4294967296"), 0u);  // wraps, never traps
  EXPECT_EQ(DecimalOf("-5"), 0u);
  EXPECT_EQ(DecimalOf(" 5"), 0u);
  EXPECT_EQ(DecimalOf("12a34"), 12u);
  EXPECT_EQ(DecimalOf(""), 0u);
}

TEST(TextParse, ReadDecimalUpToKeepsToItsLimitAndNeedsADigit) {
  struct Case {
    const char* text;
    uint32_t limit;
    bool ok;
    uint32_t value;
    char next;  // where the cursor stops when ok
  } cases[] = {
      {"2147483647,", 0x7FFFFFFF, true, 0x7FFFFFFF, ','},
      {"2147483648", 0x7FFFFFFF, false, 0, 0},
      {"4294967295", 0xFFFFFFFFu, true, 0xFFFFFFFFu, 0},
      {"4294967296", 0xFFFFFFFFu, false, 0, 0},
      {"18446744073709551616", 0xFFFFFFFFu, false, 0, 0},  // would wrap 64 bits
      {"007x", 10, true, 7, 'x'},
      {"", 10, false, 0, 0},
      {"-1", 10, false, 0, 0},
  };
  for (const auto& c : cases) {
    const char* cursor = c.text;
    uint32_t value = 12345;
    EXPECT_EQ(ReadDecimalUpTo(cursor, c.limit, &value), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(value, 12345u) << c.text << ": nothing stored";
      continue;
    }
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(*cursor, c.next) << c.text;
  }
  char buf[12];
  EXPECT_EQ(PutUnsigned(buf, 0xFFFFFFFFu), buf + 10);
  EXPECT_STREQ(buf, "4294967295");
}

TEST(TextParse, LowerHexValueKnowsOneSpellingPerValue) {
  EXPECT_EQ(LowerHexValue('0'), 0);
  EXPECT_EQ(LowerHexValue('9'), 9);
  EXPECT_EQ(LowerHexValue('a'), 10);
  EXPECT_EQ(LowerHexValue('f'), 15);
  for (char c : {'A', 'F', 'g', '/', ':', '`', '\0'}) EXPECT_EQ(LowerHexValue(c), -1) << c;
}

TEST(TextCompare, EqualNoCaseFoldsAsciiOnly) {
  EXPECT_TRUE(EqualNoCase("ON", "on"));
  EXPECT_FALSE(EqualNoCase("ON", "ONE"));
  EXPECT_FALSE(EqualNoCase("link", "lin"));
  EXPECT_TRUE(EqualNoCase("", ""));
  EXPECT_FALSE(EqualNoCase("\xE9", "\xC9"));  // no folding above 127
  EXPECT_FALSE(EqualNoCase("[", "{"));          // only letters fold
}

TEST(TextCompare, EqualNoCaseNIsAPrefixTest) {
  EXPECT_FALSE(EqualNoCaseN("CLIENT", "[client]", 6));
  EXPECT_TRUE(EqualNoCaseN("host", "HOST=server", 4));
  EXPECT_TRUE(EqualNoCaseN("abc", "xyz", 0));
  EXPECT_TRUE(EqualNoCaseN("abc", "xyz", -1));
  EXPECT_FALSE(EqualNoCaseN("dir", "di", 3));  // shorter text fails at its end
}

TEST(TextBounded, CutsAtCapacityAndSaysSo) {
  char buf[5];
  EXPECT_TRUE(CopyTextCut(buf, sizeof buf, "abcd"));
  EXPECT_STREQ(buf, "abcd");
  EXPECT_FALSE(CopyTextCut(buf, sizeof buf, "abcde"));
  EXPECT_STREQ(buf, "abcd");
  EXPECT_FALSE(CopyTextCut(buf, 0, "a"));
  strcpy(buf, "ab");
  EXPECT_FALSE(AppendTextCut(buf, sizeof buf, "cde"));
  EXPECT_STREQ(buf, "abcd");
  strcpy(buf, "ab");
  EXPECT_TRUE(AppendTextCut(buf, sizeof buf, "c"));
  EXPECT_STREQ(buf, "abc");
  EXPECT_TRUE(JoinTextCut(buf, sizeof buf, "C:\\", "a"));
  EXPECT_STREQ(buf, "C:\\a");
  EXPECT_FALSE(JoinTextCut(buf, sizeof buf, "C:\\", "ab"));
  EXPECT_TRUE(FitsIn("abcd", 5));
  EXPECT_FALSE(FitsIn("abcde", 5));
}
