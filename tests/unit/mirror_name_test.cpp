// Mirror object names: what the installer asks the sites for must be what
// the publisher wrote.
#include "manifest/mirror_name.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "manifest/sites.h"

namespace {

uint32_t Dos(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
             uint32_t second) {
  return (year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second / 2;
}

TSiteInfo Site(const std::string& url) {
  TSiteInfo site;
  memset(&site, 0, sizeof site);
  strcpy(site.Url, url.c_str());
  return site;
}

}  // namespace

TEST(MirrorMonthFolder, FourDigitsOfYearAndMonth) {
  ASSERT_EQ(Dos(2012, 3, 15, 10, 20, 30), 1081037455u);
  struct Case { uint32_t stamp; const char* folder; } cases[] = {
      {1081037455u, "1203"},
      {0, "0800"},
      {Dos(2008, 12, 31, 23, 59, 58), "0800"},
      {Dos(1980, 1, 1, 0, 0, 0), "0800"},
      {Dos(2009, 1, 1, 0, 0, 0), "0901"},
      {Dos(2044, 6, 1, 0, 0, 0), "4406"},  // above 2^31
      {Dos(2099, 12, 31, 0, 0, 0), "9912"},
      {Dos(2100, 3, 1, 0, 0, 0), "0003"},
      {Dos(2107, 12, 31, 0, 0, 0), "0712"},
      {0xFFFFFFFFu, "0715"},  // month 15: still four digits
  };
  for (const auto& c : cases) {
    char out[kMonthFolderCapacity + 4];
    memset(out, '#', sizeof out);
    MirrorMonthFolder(c.stamp, out);
    EXPECT_STREQ(out, c.folder) << c.stamp;
    EXPECT_EQ(out[kMonthFolderCapacity], '#');
  }
}

TEST(MirrorObjectName, StampSizeAndFlattenedName) {
  struct Case {
    uint32_t stamp; int32_t size; const char* name; bool folder; const char* object;
  } cases[] = {
      {1081037455u, 1024, "bin\\app.dll", true, "1203/1081037455_1024_bin_app.dll"},
      {1081037455u, 1024, "bin\\app.dll", false, "1081037455_1024_bin_app.dll"},
      {Dos(2008, 5, 1, 0, 0, 0), 1, "a", true, "0800/950075392_1_a"},
      {0, 0, "bin\\sub\\x.dll", true, "0800/0_0_bin_sub_x.dll"},
      {4294967295u, 2147483647, "z", false, "4294967295_2147483647_z"},
  };
  for (const auto& c : cases) {
    char out[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorObjectName(out, sizeof out, c.stamp, c.size, c.name, c.folder));
    EXPECT_STREQ(out, c.object);
  }
}

TEST(MirrorObjectName, RefusesWhatDoesNotFit) {
  const char* expected = "1203/1081037455_1024_bin_app.dll";
  size_t exact = strlen(expected) + 1;
  char out[64];
  ASSERT_TRUE(MirrorObjectName(out, exact, 1081037455u, 1024, "bin\\app.dll", true));
  EXPECT_STREQ(out, expected);
  for (size_t capacity : {exact - 1, size_t(5), size_t(1)}) {
    memset(out, '#', sizeof out);
    EXPECT_FALSE(MirrorObjectName(out, capacity, 1081037455u, 1024, "bin\\app.dll", true));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[capacity], '#') << capacity;
  }
  EXPECT_FALSE(MirrorObjectName(out, 0, 1, 1, "a", false));
  EXPECT_FALSE(MirrorObjectName(out, sizeof out, 1, -1, "a", false));
}

TEST(MirrorUrl, SiteUrlSlashAndFolderByInstallMode) {
  struct Case { const char* url; int32_t mode; const char* expected; } cases[] = {
      {"http://m.example/files", 0, "http://m.example/files/1203/1081037455_1024_bin_app.dll"},
      {"http://m.example/files/", 0, "http://m.example/files/1203/1081037455_1024_bin_app.dll"},
      {"http://m.example/files", 1, "http://m.example/files/1081037455_1024_bin_app.dll"},
      {"http://m.example/files/", 2, "http://m.example/files/1081037455_1024_bin_app.dll"},
  };
  for (const auto& c : cases) {
    TSiteInfo site = Site(c.url);
    char out[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorUrl(out, site, 1081037455u, 1024, "bin\\app.dll", c.mode));
    EXPECT_STREQ(out, c.expected);
  }
}

TEST(MirrorUrl, RefusesUrlsOfTwoHundredSixtyCharacters) {
  // The object part "/1203/1081037455_1024_bin_app.dll" is 33 characters.
  const std::string tail = "/1203/1081037455_1024_bin_app.dll";
  for (size_t urlLength : {size_t(226), size_t(227), size_t(259)}) {
    TSiteInfo site = Site("http://" + std::string(urlLength - 7, 'h'));
    char out[kMirrorUrlCapacity + 8];
    memset(out, '#', sizeof out);
    bool fits = urlLength + tail.size() <= 259;
    EXPECT_EQ(MirrorUrl(out, site, 1081037455u, 1024, "bin\\app.dll", 0), fits) << urlLength;
    if (fits) {
      EXPECT_EQ(std::string(out), std::string(site.Url) + tail);
    } else {
      EXPECT_EQ(out[0], 0);
    }
    EXPECT_EQ(out[kMirrorUrlCapacity], '#');
  }
}
