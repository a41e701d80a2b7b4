// One mirror object into its file on the real file system: the inflate, the
// size and check rules, and the file sink. Picking and starting workers is
// tested natively (mirror_pick_test).
#include "transfer/mirror.h"

#include <windows.h>
#include <zlib.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/memory_source.h"
#include "tests/support/test_files.h"

#include "app/run_control.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "config/sites.h"
#include "tinylib/sha256.h"
#include "tinylib/simple_file.h"
#include "transfer/transfer_buffers.h"
#include "transfer/ostream.h"


namespace {

void EnsureTransfer() {
  static bool ready = InitTransfer();
  ASSERT_TRUE(ready);
}

// --- One object into one file ---------------------------------------------

typedef std::vector<unsigned char> Bytes;

Bytes Deflate(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(length);
  return out;
}

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<unsigned char>(seed >> 16);
  }
  return b;
}

using testsupport::MemorySource;

class ReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureTransfer();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(dir_, sizeof dir_, "%spellinor-mirror-%lu\\", temp, GetCurrentProcessId());
    CreateDirectoryA(dir_, nullptr);
    snprintf(InstallSettings.InstallDir, sizeof InstallSettings.InstallDir, "%s", dir_);
  }
  void TearDown() override { testfiles::RemoveTree(dir_); }
  // The sink writes the staged file; the installed one is the commit's.
  std::string Path(const char* name) const {
    return std::string(dir_) + "Pellinor.staging\\new\\" + name;
  }
  std::string Installed(const char* name) const { return std::string(dir_) + name; }
  bool Exists(const char* name) const {
    return GetFileAttributesA(Path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  Bytes Contents(const char* name) const {
    Bytes out;
    FILE* f = fopen(Path(name).c_str(), "rb");
    if (f == nullptr) return out;
    unsigned char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
    fclose(f);
    return out;
  }
  char dir_[MAX_PATH];
};

struct ReceiveCase {
  const char* what;
  size_t fileSize;     // the item's Size
  size_t objectBytes;  // bytes the object inflates to
  enum { Whole, CutTrailer, BadTrailer, NotZlib, Empty } form;
  bool done;
  bool fileExpected;
};

TEST_F(ReceiveTest, OnlyAWholeCheckedObjectOfExactlySizeIsDone) {
  const ReceiveCase cases[] = {
      {"whole object", 70000, 70000, ReceiveCase::Whole, true, true},
      {"one byte more", 70000, 70001, ReceiveCase::Whole, false, true},
      {"one byte less", 70000, 69999, ReceiveCase::Whole, false, true},
      {"one byte more, small", 100, 101, ReceiveCase::Whole, false, true},
      {"one byte less, small", 100, 99, ReceiveCase::Whole, false, true},
      {"check value missing", 65536, 65536, ReceiveCase::CutTrailer, false, true},
      {"check value wrong", 65536, 65536, ReceiveCase::BadTrailer, false, true},
      {"error page", 500, 500, ReceiveCase::NotZlib, false, false},
      {"empty file, valid stream", 0, 0, ReceiveCase::Whole, true, true},
      {"empty file, empty body", 0, 0, ReceiveCase::Empty, false, false},
  };
  int n = 0;
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.what);
    char name[32];
    snprintf(name, sizeof name, "sub\\case%d.bin", n++);
    DownloadItem item = {};
    snprintf(item.Name, sizeof item.Name, "%s", name);
    item.Size = static_cast<int32_t>(c.fileSize);
    item.Stamp = 1081037455;  // 15 March 2012 10:20:30
    item.State = kItemInProgress;

    Bytes content = Pattern(c.objectBytes, n);
    Bytes object = Deflate(content);
    if (c.form == ReceiveCase::CutTrailer) object.resize(object.size() - 4);
    if (c.form == ReceiveCase::BadTrailer) object.back() ^= 0x55;
    if (c.form == ReceiveCase::NotZlib) object.assign(c.objectBytes, '<');
    if (c.form == ReceiveCase::Empty) object.clear();
    MemorySource source(object);
    EndAttempt(item, ReceiveItem(source, item));

    EXPECT_EQ(item.State, c.done ? kItemDone : kItemPending);
    EXPECT_EQ(item.Received, c.done ? item.Size : 0);
    EXPECT_EQ(Exists(name), c.fileExpected);
    EXPECT_EQ(GetFileAttributesA(Installed(name).c_str()), INVALID_FILE_ATTRIBUTES);
    if (c.done) {
      EXPECT_TRUE(content == Contents(name));
      WIN32_FIND_DATAA found;
      HANDLE search = FindFirstFileA(Path(name).c_str(), &found);
      ASSERT_NE(search, INVALID_HANDLE_VALUE);
      FindClose(search);
      WORD date = 0, time = 0;
      FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time);
      EXPECT_EQ((static_cast<uint32_t>(date) << 16) | time, item.Stamp);
    } else {
      // Nothing beyond Size ever reaches the disk.
      EXPECT_LE(Contents(name).size(), c.fileSize);
    }
  }
}

// A failed object that still wrote Size bytes must not leave a file that
// the next run takes for up to date (same size, same stamp).
TEST_F(ReceiveTest, AFailedObjectOfFullSizeLeavesNoUpToDateFile) {
  struct Case {
    const char* what;
    size_t objectBytes;
    bool cutTrailer;
    bool badTrailer;
  };
  const Case cases[] = {
      {"check value missing", 65536, true, false},
      {"check value wrong", 65536, false, true},
      {"one byte more at a step boundary", 65537, false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char name[32];
    snprintf(name, sizeof name, "full%d.bin", n++);
    DownloadItem item = {};
    snprintf(item.Name, sizeof item.Name, "%s", name);
    item.Size = 65536;
    item.Stamp = 1081037455;
    item.State = kItemInProgress;
    Bytes object = Deflate(Pattern(c.objectBytes, 40 + n));
    if (c.cutTrailer) object.resize(object.size() - 4);
    if (c.badTrailer) object.back() ^= 0x55;
    MemorySource source(object);
    EndAttempt(item, ReceiveItem(source, item));
    EXPECT_EQ(item.State, kItemPending);
    ASSERT_TRUE(Exists(name));
    EXPECT_FALSE(IsUpToDate(Path(name).c_str(), 65536, 1081037455));
  }
}

// A valid object of the right size is taken only with the bytes the
// manifest's hash names; other bytes leave the item pending and the staged
// file unstamped, so that no later run reuses it either.
TEST_F(ReceiveTest, AnObjectWithOtherBytesThanTheListedHashIsNotTaken) {
  const Bytes genuine = Pattern(70000, 77);
  Bytes other = genuine;
  other[35000] ^= 0x01;
  struct Case {
    const char* what;
    bool hasHash;
    const Bytes* served;
    bool done;
  } cases[] = {
      {"listed bytes", true, &genuine, true},
      {"one bit other", true, &other, false},
      {"other bytes, no hash listed", false, &other, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char name[32];
    snprintf(name, sizeof name, "hashed%d.bin", n++);
    DownloadItem item = {};
    snprintf(item.Name, sizeof item.Name, "%s", name);
    item.Size = static_cast<int32_t>(genuine.size());
    item.Stamp = 1081037455;
    item.State = kItemInProgress;
    item.HasHash = c.hasHash;
    ASSERT_TRUE(Sha256Of(genuine.data(), static_cast<int32_t>(genuine.size()), item.Hash));
    MemorySource source(Deflate(*c.served));
    EndAttempt(item, ReceiveItem(source, item, "test site"));
    EXPECT_EQ(item.State, c.done ? kItemDone : kItemPending);
    EXPECT_EQ(IsUpToDate(Path(name).c_str(), item.Size, item.Stamp), c.done);
  }
}

TEST_F(ReceiveTest, FileHeldOpenByAnotherHandleLeavesTheItemPendingAndUncounted) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "locked.bin");
  item.Size = 20000;
  item.State = kItemInProgress;
  CreateDirectoryA((std::string(dir_) + "Pellinor.staging").c_str(), nullptr);
  CreateDirectoryA((std::string(dir_) + "Pellinor.staging\\new").c_str(), nullptr);
  HANDLE other = CreateFileA(Path("locked.bin").c_str(), GENERIC_WRITE, 0 /* no sharing */, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(other, "keep", 4, &written, nullptr);

  Bytes content = Pattern(20000, 7);
  MemorySource source(Deflate(content));
  bool complete = ReceiveItem(source, item);
  EXPECT_FALSE(complete);
  EXPECT_EQ(item.Received, 0) << "only bytes that reached the file count";
  EndAttempt(item, complete);
  EXPECT_EQ(item.State, kItemPending);
  CloseHandle(other);
  Bytes kept = Contents("locked.bin");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
}

TEST_F(ReceiveTest, NameOutsideTheInstallFolderIsRefusedAndNothingCreated) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "..\\pellinor-escape-%lu.bin", GetCurrentProcessId());
  item.Size = 10;
  Bytes content = Pattern(10, 3);
  {
    TOStream sink(item);
    EXPECT_EQ(sink.Write(content.data(), 10), -1);
    EXPECT_EQ(sink.Write(content.data(), 10), -1);
    EXPECT_FALSE(sink.Created());
  }
  EXPECT_EQ(item.Received, 0);
  std::string outside = std::string(dir_) + item.Name;
  EXPECT_EQ(GetFileAttributesA(outside.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ReceiveTest, FirstWriteOfNothingCreatesTheFileAndWritesReturnTheirCount) {
  DownloadItem item = {};
  snprintf(item.Name, sizeof item.Name, "deep\\er\\file.bin");
  item.Size = 6;
  {
    TOStream sink(item);
    EXPECT_EQ(sink.Write(nullptr, 0), 0);
    EXPECT_TRUE(sink.Created());
    char bytes[] = "abcdef";
    EXPECT_EQ(sink.Write(bytes, 4), 4);
    EXPECT_EQ(sink.Write(bytes + 4, 2), 2);
    EXPECT_EQ(sink.Write(bytes, 1), -1);  // past Size
  }
  EXPECT_EQ(item.Received, 6);
  Bytes got = Contents("deep\\er\\file.bin");
  EXPECT_EQ(std::string(got.begin(), got.end()), "abcdef");
}

}  // namespace
