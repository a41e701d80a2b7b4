// TSimpleFile, CreateOutputFile and the path helpers against the real file
// system: open modes, sharing, truncation, line ends, folder making, paths
// that cannot work, the up-to-date check and the one-piece read.
#include "tinylib/simple_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using testfiles::RemoveTree;

const uint32_t kStamp = testfiles::DosStamp(2012, 3, 15, 10, 20, 30);

void PutFile(const std::string& path, const std::string& bytes, uint32_t stamp = 0) {
  ASSERT_TRUE(testfiles::PutFile(path, bytes, stamp)) << path;
}


// Every test works in a fresh folder of its own under the temp folder.
class SimpleFileTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = testfiles::MakeScratchFolder("file");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override { RemoveTree(folder_); }

  std::string PathOf(const char* name) const { return folder_ + "\\" + name; }

  static std::string Contents(const std::string& path) {
    TSimpleFile file(path.c_str(), 0);
    std::string text;
    char buffer[256];
    int32_t n;
    while ((n = file.Read(buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }

  static void Put(const std::string& path, const std::string& text) {
    TSimpleFile file(path.c_str(), 1);
    ASSERT_TRUE(file.IsOpen()) << path;
    ASSERT_EQ(file.Write(const_cast<char*>(text.data()), static_cast<int32_t>(text.size())),
              static_cast<int32_t>(text.size()));
  }

  std::string folder_;
};

TEST_F(SimpleFileTest, MissingFileIsNotOpenAndEveryOperationFails) {
  TSimpleFile file(PathOf("missing.txt").c_str(), 0);
  EXPECT_FALSE(file.IsOpen());
  char buffer[8];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(file.Write(buffer, sizeof buffer), -1);
  EXPECT_EQ(file.Seek(0, kSeekFromStart), -1);
  // Reading never creates the file.
  EXPECT_EQ(GetFileAttributesA(PathOf("missing.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SimpleFileTest, WritingTruncatesAnExistingFile) {
  const std::string path = PathOf("old.txt");
  Put(path, "ten bytes!");
  {
    TSimpleFile file(path.c_str(), 1);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(GetFileSize(static_cast<HANDLE>(file.Handle()), nullptr), 0u);
  }
  EXPECT_EQ(Contents(path), "");
}

TEST_F(SimpleFileTest, FileOpenForWritingCannotBeOpenedAgain) {
  const std::string path = PathOf("busy.txt");
  TSimpleFile writer(path.c_str(), 1);
  ASSERT_TRUE(writer.IsOpen());
  for (uint8_t forWrite : {0, 1, 0x80}) {
    SCOPED_TRACE(static_cast<int>(forWrite));
    TSimpleFile second(path.c_str(), forWrite);
    EXPECT_FALSE(second.IsOpen());
  }
  // Readers share with each other.
  Put(PathOf("shared.txt"), "abc");
  TSimpleFile reader1(PathOf("shared.txt").c_str(), 0);
  TSimpleFile reader2(PathOf("shared.txt").c_str(), 0);
  EXPECT_TRUE(reader1.IsOpen());
  EXPECT_TRUE(reader2.IsOpen());
}

TEST_F(SimpleFileTest, WriteLineEndsEveryLineWithCrLf) {
  struct Case {
    const char* text;
    const char* written;
  } cases[] = {
      {"", "\r\n"},
      {nullptr, "\r\n"},
      {"C:\\Users\\Public\\Desktop\\Lumaris.lnk", "C:\\Users\\Public\\Desktop\\Lumaris.lnk\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    const std::string path = PathOf("lines.txt");
    {
      TSimpleFile file(path.c_str(), 1);
      file.WriteLine(c.text);
    }
    EXPECT_EQ(Contents(path), c.written);
  }
}

TEST_F(SimpleFileTest, WriteLineGoesThroughTheVirtualWrite) {
  class CountingFile : public TSimpleFile {
   public:
    using TSimpleFile::TSimpleFile;
    int32_t Write(void* buffer, int32_t count) override {
      writes++;
      return TSimpleFile::Write(buffer, count);
    }
    int writes = 0;
  };
  CountingFile file(PathOf("counted.txt").c_str(), 1);
  file.WriteLine("ab");
  file.WriteLine("");
  EXPECT_EQ(file.writes, 3);
}

TEST_F(SimpleFileTest, SeekMasksTheOriginAndReportsThePosition) {
  const std::string path = PathOf("digits.txt");
  Put(path, "0123456789");
  TSimpleFile file(path.c_str(), 0);
  char buffer[4] = {};
  EXPECT_EQ(file.Seek(-3, kSeekFromEnd), 7);
  EXPECT_EQ(file.Read(buffer, 3), 3);
  EXPECT_STREQ(buffer, "789");
  EXPECT_EQ(file.Read(buffer, 3), 0);
  EXPECT_EQ(file.Seek(2, 0x80 | kSeekFromStart), 2);
  EXPECT_EQ(file.Seek(1, 0x80 | kSeekFromCurrent), 3);
  EXPECT_EQ(file.Read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], '3');
  EXPECT_EQ(file.Seek(-1, kSeekFromStart), -1);
}

TEST_F(SimpleFileTest, MovingHandsTheHandleOver) {
  const std::string path = PathOf("moved.txt");
  TSimpleFile first(path.c_str(), 1);
  ASSERT_TRUE(first.IsOpen());
  TSimpleFile second(static_cast<TSimpleFile&&>(first));
  EXPECT_FALSE(first.IsOpen());
  EXPECT_EQ(second.Write(const_cast<char*>("x"), 1), 1);
  TSimpleFile third(PathOf("other.txt").c_str(), 1);
  third = static_cast<TSimpleFile&&>(second);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_TRUE(third.IsOpen());
  // The handle third held before was closed: its file can be opened again.
  TSimpleFile other(PathOf("other.txt").c_str(), 1);
  EXPECT_TRUE(other.IsOpen());
}

TEST_F(SimpleFileTest, CreateOutputFileMakesMissingFolders) {
  const std::string path = PathOf("a\\b\\c\\file.dat");
  {
    TSimpleFile file = CreateOutputFile(path.c_str());
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Write(const_cast<char*>("data"), 4), 4);
  }
  EXPECT_EQ(Contents(path), "data");
  // An existing file in an existing folder is opened at the first try and
  // truncated.
  {
    TSimpleFile again = CreateOutputFile(path.c_str());
    EXPECT_TRUE(again.IsOpen());
  }
  EXPECT_EQ(Contents(path), "");
}

TEST_F(SimpleFileTest, CreateOutputFileGivesUpOnImpossiblePaths) {
  Put(PathOf("blocker"), "a file, not a folder");
  const std::string cases[] = {
      PathOf("blocker\\sub\\file.dat"),  // a file where a folder must be
      PathOf("blocker"),                 // held open by a reader below
      PathOf("bad|name\\file.dat"),      // a character no folder may hold
  };
  TSimpleFile holder(PathOf("blocker").c_str(), 0);  // keeps blocker busy
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    TSimpleFile file = CreateOutputFile(path.c_str());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Write(const_cast<char*>("x"), 1), -1);
  }
  EXPECT_EQ(Contents(PathOf("blocker")), "a file, not a folder");
}

TEST_F(SimpleFileTest, UpToDateNeedsTheSameSizeAndStamp) {
  const std::string present = folder_ + "\\present.dll";
  PutFile(present, std::string(1024, 'x'), kStamp);
  const std::string empty = folder_ + "\\empty.txt";
  PutFile(empty, "", kStamp);
  ASSERT_TRUE(CreateDirectoryA((folder_ + "\\folder").c_str(), nullptr));
  struct Case {
    const char* what;
    std::string path;
    int32_t size;
    uint32_t stamp;
    bool expected;
  } cases[] = {
      {"missing", folder_ + "\\missing.dll", 1024, kStamp, false},
      {"exact", present, 1024, kStamp, true},
      {"size 0 entry, any file", present, 0, 12345, true},
      {"size 0 entry, empty file", empty, 0, 0, true},
      {"wrong size", present, 1023, kStamp, false},
      {"wrong stamp by 2 s", present, 1024, kStamp + 1, false},
      {"stamp 0", present, 1024, 0, false},
      {"negative size", present, -1024, kStamp, false},
      {"a folder is not the file", folder_ + "\\folder", 0, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsUpToDate(c.path.c_str(), c.size, c.stamp), c.expected) << c.what;
}

TEST_F(SimpleFileTest, ReadFileToBufferReadsOnePieceOfAtMost100000Bytes) {
  std::vector<char> buffer(150000, '#');
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\missing").c_str(), buffer.data(), 100000), 0);

  PutFile(folder_ + "\\small", "abc");
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\small").c_str(), buffer.data(), 100000), 3);
  EXPECT_EQ(std::string(buffer.data(), 4), "abc#");

  std::string big(120000, 0);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i % 253);
  PutFile(folder_ + "\\big", big);
  EXPECT_EQ(ReadFileToBuffer((folder_ + "\\big").c_str(), buffer.data(), 100000), 100000);
  EXPECT_EQ(std::string(buffer.data(), 100000), big.substr(0, 100000));
  EXPECT_EQ(buffer[100000], '#');  // nothing past the limit
}

TEST_F(SimpleFileTest, ReadFileToBufferGivesMinusOneWhenTheReadFails) {
  const std::string path = folder_ + "\\locked";
  PutFile(path, std::string(500, 'l'));
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(LockFile(holder, 0, 0, 500, 0));  // another handle may not read the range
  // Wine does not always enforce a lock between two handles of one process;
  // without that there is no way to make the read fail here.
  HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char byte;
  DWORD got = 0;
  bool enforced = !ReadFile(probe, &byte, 1, &got, nullptr);
  CloseHandle(probe);
  if (!enforced) {
    UnlockFile(holder, 0, 0, 500, 0);
    CloseHandle(holder);
    GTEST_SKIP() << "byte-range locks are not enforced between handles here";
  }
  std::vector<char> buffer(1000);
  EXPECT_EQ(ReadFileToBuffer(path.c_str(), buffer.data(), 100000), -1);
  UnlockFile(holder, 0, 0, 500, 0);
  CloseHandle(holder);
}

TEST_F(SimpleFileTest, SetFileStampSetsTheLastWriteTimeAsUtc) {
  const std::string path = PathOf("stamped.txt");
  PutFile(path, "x");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFileStamp(file, kStamp), 0u);
  CloseHandle(file);
  EXPECT_EQ(testfiles::StampOf(path), kStamp);
  EXPECT_NE(SetFileStamp(INVALID_HANDLE_VALUE, kStamp), 0u);
}

}  // namespace
