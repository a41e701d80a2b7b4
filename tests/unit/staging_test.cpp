// Staging rules: where staged files lie, which staged file counts as
// complete, and when a cut session download may continue.
#include "transfer/staging.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

TEST(StagingTest, StagedPathsMirrorTheNameAndNeverOverrun) {
  char path[260];
  ASSERT_TRUE(FormStagingPath(path, sizeof path, "C:\\Brevane\\", kStagedNew, "bin/sub\\a.dll"));
  EXPECT_STREQ(path, "C:\\Brevane\\Pellinor.staging\\new\\bin\\sub\\a.dll");
  ASSERT_TRUE(FormStagingPath(path, sizeof path, "C:\\Brevane", kStagedOld, "a.dll"));
  EXPECT_STREQ(path, "C:\\Brevane\\Pellinor.staging\\old\\a.dll");
  ASSERT_TRUE(FormStagingPath(path, sizeof path, "C:\\B\\", kStagedNew, nullptr));
  EXPECT_STREQ(path, "C:\\B\\Pellinor.staging\\new\\");

  // Exactly full, then one character over: refused and emptied, with the
  // bytes past the capacity untouched.
  const std::string prefix = "C:\\B\\Pellinor.staging\\new\\";
  char guarded[64 + 8];
  memset(guarded, 'G', sizeof guarded);
  std::string fits(63 - prefix.size(), 'n');
  EXPECT_TRUE(FormStagingPath(guarded, 64, "C:\\B\\", kStagedNew, fits.c_str()));
  EXPECT_EQ(strlen(guarded), 63u);
  std::string over = fits + "n";
  EXPECT_FALSE(FormStagingPath(guarded, 64, "C:\\B\\", kStagedNew, over.c_str()));
  EXPECT_STREQ(guarded, "");
  for (size_t i = 64; i < sizeof guarded; i++) EXPECT_EQ(guarded[i], 'G');
  EXPECT_FALSE(FormStagingPath(path, sizeof path, "", kStagedNew, "a.dll"));
}

TEST(StagingTest, AStagedFileIsCompleteOnlyWithTheEntrysSizeAndStamp) {
  const uint32_t stamp = 1081037455;
  struct Case {
    const char* what;
    int32_t size;
    uint32_t stamp;
    StagedFacts facts;
    bool complete;
  } cases[] = {
      {"size and stamp match", 100, stamp, {true, false, 100, true, stamp}, true},
      {"nothing there", 100, stamp, {false, false, 0, false, 0}, false},
      {"cut short", 100, stamp, {true, false, 99, true, stamp}, false},
      {"longer", 100, stamp, {true, false, 101, true, stamp}, false},
      {"not sealed (other time)", 100, stamp, {true, false, 100, true, stamp + 2}, false},
      {"time without DOS form", 100, stamp, {true, false, 100, false, stamp}, false},
      {"a folder of that name", 100, stamp, {true, true, 100, true, stamp}, false},
      {"entry stamped 0 is never verified", 100, 0, {true, false, 100, true, 0}, false},
      {"empty entry: the file is enough", 0, stamp, {true, false, 0, false, 0}, true},
      {"empty entry: nothing there", 0, stamp, {false, false, 0, false, 0}, false},
      {"negative size", -1, stamp, {true, false, -1, true, stamp}, false},
      {"4 GiB more is not the same size", 100, stamp,
       {true, false, (int64_t{1} << 32) + 100, true, stamp}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StagedFileComplete(c.size, c.stamp, c.facts), c.complete) << c.what;
}

TEST(StagingTest, ResumeRecordsRoundTripAndAnythingElseIsRefused) {
  ResumeRecord record = {};
  strcpy(record.Name, "data\\big.dat");
  record.Size = 2147483647;
  record.Stamp = 0xFFFFFFFFu;
  record.Length = 4194304;
  char text[kResumeRecordCapacity];
  ASSERT_TRUE(FormatResumeRecord(text, sizeof text, record));
  EXPECT_STREQ(text, "data\\big.dat=2147483647,4294967295,4194304");
  ResumeRecord back = {};
  ASSERT_TRUE(ParseResumeRecord(text, &back));
  EXPECT_STREQ(back.Name, record.Name);
  EXPECT_EQ(back.Size, record.Size);
  EXPECT_EQ(back.Stamp, record.Stamp);
  EXPECT_EQ(back.Length, record.Length);
  EXPECT_TRUE(ParseResumeRecord("a=1,2,3\r\n", &back));

  const char* refused[] = {
      "",  "=1,2,3", "a=1,2", "a=1,2,", "a=1,,3", "a=x,2,3", "a=1,2,3x", "a=-1,2,3",
      "a=2147483648,2,3",  // size past 31 bits
      "a=1,4294967296,3",  // stamp past 32 bits
      "a=1,2,2147483648", "a=1,2,3 ", "no equals sign",
      // a record cut while it was written: the length field is not there
      "data\\big.dat=600000,1081037455",
  };
  for (const char* text : refused) EXPECT_FALSE(ParseResumeRecord(text, &back)) << text;
  std::string longName(64, 'n');
  EXPECT_FALSE(ParseResumeRecord((longName + "=1,2,3").c_str(), &back));

  char small[8];
  EXPECT_FALSE(FormatResumeRecord(small, sizeof small, record));
  EXPECT_STREQ(small, "");
}

TEST(StagingTest, ACutDownloadContinuesOnlyForTheSameEntryWithItsBytesThere) {
  ResumeRecord record = {};
  strcpy(record.Name, "big.dat");
  record.Size = 600000;
  record.Stamp = 1081037455;
  record.Length = 262144;
  struct Case {
    const char* what;
    const char* name;
    int32_t size;
    uint32_t stamp;
    int64_t stagedLength;
    int32_t offset;
  } cases[] = {
      {"same entry, bytes there", "big.dat", 600000, 1081037455, 262144, 262144},
      {"more bytes than vouched for", "big.dat", 600000, 1081037455, 300000, 262144},
      {"fewer bytes than vouched for", "big.dat", 600000, 1081037455, 262143, 0},
      {"another file", "small.dat", 600000, 1081037455, 262144, 0},
      {"another size", "big.dat", 600001, 1081037455, 262144, 0},
      {"another stamp", "big.dat", 600000, 1081037457, 262144, 0},
      {"name in other letter case", "BIG.DAT", 600000, 1081037455, 262144, 262144},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SessionResumeOffset(&record, c.name, c.size, c.stamp, c.stagedLength), c.offset)
        << c.what;
  EXPECT_EQ(SessionResumeOffset(nullptr, "big.dat", 600000, 1081037455, 262144), 0);
  record.Length = 0;
  EXPECT_EQ(SessionResumeOffset(&record, "big.dat", 600000, 1081037455, 262144), 0);
  record.Length = 600001;  // more than the entry has
  EXPECT_EQ(SessionResumeOffset(&record, "big.dat", 600000, 1081037455, 700000), 0);
}

// The remembered serial: what is written reads back, and anything a cut or
// tampered record could hold is refused (read as "no release known").
TEST(StagingTest, SerialRecordsRoundTripAndAnythingElseIsRefused) {
  for (uint32_t serial : {1u, 9u, 10u, 4294967295u}) {
    char text[kSerialTextCapacity];
    FormatSerialText(text, serial);
    uint32_t back = 0;
    EXPECT_TRUE(ParseSerialText(text, &back)) << text;
    EXPECT_EQ(back, serial);
  }
  struct Case {
    const char* text;
    bool ok;
    uint32_t serial;
  } cases[] = {
      {"7\r\n", true, 7},       {"7\n", true, 7},        {"", false, 0},
      {"0", false, 0},          {"4294967296", false, 0}, {"-1", false, 0},
      {"7 ", false, 0},         {"7\r\n8", false, 0},     {"x7", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t serial = 12345;
    EXPECT_EQ(ParseSerialText(c.text, &serial), c.ok) << c.text;
    EXPECT_EQ(serial, c.ok ? c.serial : 12345u) << c.text;
  }
}

}  // namespace
