// Line splitting: where a line ends, what stays inside a line, and that no
// line is lost or read past.
#include "tinylib/simple_strings.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char* name;
  std::string data;
  std::vector<std::string> lines;
};

// The buffer is exactly the data plus the one spare byte, so the sanitizers
// catch any access beyond it.
std::vector<char> BufferOf(const std::string& data, char spare) {
  std::vector<char> buffer(data.begin(), data.end());
  buffer.push_back(spare);
  return buffer;
}

}  // namespace

TEST(SimpleStrings, SplitsOnCarriageReturnOnly) {
  const SplitCase cases[] = {
      {"crlf between", "a\r\nb", {"a", "b"}},
      {"lone lf stays in the line", "a\nb", {"a\nb"}},
      {"lone cr ends a line", "a\rb", {"a", "b"}},
      {"empty line between", "a\r\n\r\nb", {"a", "", "b"}},
      {"trailing crlf adds no line", "a\r\nb\r\n", {"a", "b"}},
      {"crlf alone", "\r\n", {""}},
      {"one lf absorbed, not two", "a\r\n\nb", {"a", "\nb"}},
      {"cr cr lf", "a\r\r\nb", {"a", "", "b"}},
      {"lf before crlf", "a\n\r\nb", {"a\n", "b"}},
      {"manifest lines", "[CLIENT]\r\nLumaris.exe 10 5\r\n", {"[CLIENT]", "Lumaris.exe 10 5"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> buffer = BufferOf(c.data, '#');
    TSimpleStrings list(buffer.data(), static_cast<int32_t>(c.data.size()));
    ASSERT_EQ(list.Count, static_cast<int32_t>(c.lines.size()));
    EXPECT_FALSE(list.Truncated());
    for (int32_t i = 0; i < list.Count; i++) {
      EXPECT_EQ(std::string(list.Items[i]), c.lines[i]) << "line " << i;
      // The lines are positions in the caller's buffer, not copies.
      EXPECT_GE(list.Items[i], buffer.data());
      EXPECT_LT(list.Items[i], buffer.data() + buffer.size());
    }
  }
}

TEST(SimpleStrings, LastLineIsTerminatedInTheSpareByte) {
  std::vector<char> buffer = BufferOf("x", '#');
  TSimpleStrings list(buffer.data(), 1);
  ASSERT_EQ(list.Count, 1);
  EXPECT_EQ(list.Items[0], buffer.data());
  EXPECT_EQ(buffer[1], 0);

  // A final CR is the terminator itself; the spare byte is left alone even
  // when it holds an LF.
  std::vector<char> ended = BufferOf("x\r", '\n');
  TSimpleStrings endedList(ended.data(), 2);
  ASSERT_EQ(endedList.Count, 1);
  EXPECT_STREQ(endedList.Items[0], "x");
  EXPECT_EQ(ended[2], '\n');
}

TEST(SimpleStrings, NoDataGivesAnEmptyListAndLeavesTheBuffer) {
  for (int32_t length : {0, -1}) {
    SCOPED_TRACE(length);
    char buffer[4] = {'a', '\r', 'b', '#'};
    TSimpleStrings list(buffer, length);
    EXPECT_EQ(list.Count, 0);
    EXPECT_FALSE(list.Truncated());
    EXPECT_EQ(memcmp(buffer, "a\rb#", 4), 0);
  }
}

TEST(SimpleStrings, KeepsEveryLineOfALongFile) {
  const int kLines = 5000;  // several times the first block of the list
  std::string data;
  for (int i = 0; i < kLines; i++) data += "file" + std::to_string(i) + " 1 2\r\n";
  std::vector<char> buffer = BufferOf(data, 0);
  TSimpleStrings list(buffer.data(), static_cast<int32_t>(data.size()));
  ASSERT_EQ(list.Count, kLines);
  EXPECT_FALSE(list.Truncated());
  for (int i = 0; i < kLines; i++)
    ASSERT_EQ(std::string(list.Items[i]), "file" + std::to_string(i) + " 1 2") << "line " << i;
}
