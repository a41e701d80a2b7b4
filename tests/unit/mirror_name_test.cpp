// Mirror object names: what the installer asks the sites for must be what
// the publisher wrote.
#include "manifest/mirror_name.h"

#include <gtest/gtest.h>

#include <ctype.h>
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

TEST(MirrorUrl, NameBytesOutsideTheUnreservedSetArePercentEncoded) {
  struct Case { const char* name; const char* url; const char* object; } cases[] = {
      {"100%.txt", "100%25.txt", "100%.txt"},
      {"50%41.txt", "50%2541.txt", "50%41.txt"},
      {"x#1.dll", "x%231.dll", "x#1.dll"},
      {"a b.txt", "a%20b.txt", "a b.txt"},
      {"q?.txt", "q%3F.txt", "q?.txt"},
      {"sub\\a+b;c&d.txt", "sub_a%2Bb%3Bc%26d.txt", "sub_a+b;c&d.txt"},
      {"it's(1),[2]!@$=.txt", "it%27s%281%29%2C%5B2%5D%21%40%24%3D.txt", "it's(1),[2]!@$=.txt"},
      {"~-._AZaz09", "~-._AZaz09", "~-._AZaz09"},
      {"\xE9t\xE9.txt", "%E9t%E9.txt", "\xE9t\xE9.txt"},
      {"a/b", "a%2Fb", "a/b"},
  };
  TSiteInfo site = Site("http://m.example/files");
  for (const auto& c : cases) {
    char url[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorUrl(url, site, 1081037455u, 1024, c.name, 0)) << c.name;
    EXPECT_EQ(std::string(url),
              std::string("http://m.example/files/1203/1081037455_1024_") + c.url);
    // The publisher's file keeps the raw name.
    char object[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorObjectName(object, sizeof object, 1081037455u, 1024, c.name, false));
    EXPECT_EQ(std::string(object), std::string("1081037455_1024_") + c.object);
  }
}

// What an HTTP server does with the path: each %XX becomes its byte.
static std::string PercentDecoded(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size(); i++) {
    if (path[i] == '%' && i + 2 < path.size()) {
      out += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

TEST(MirrorUrl, EveryByteOfANameDecodesBackToTheObjectFile) {
  TSiteInfo site = Site("http://m.example/");
  for (int b = 1; b < 256; b++) {
    const std::string name = std::string("n") + static_cast<char>(b) + "e";
    char url[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorUrl(url, site, 1081037455u, 7, name.c_str(), 0)) << b;
    std::string path = std::string(url).substr(strlen("http://m.example/"));
    for (char ch : path)
      EXPECT_TRUE(isalnum(static_cast<unsigned char>(ch)) || strchr("-._~%/", ch) != nullptr)
          << "byte " << b << " gives " << path;
    char object[kMirrorUrlCapacity];
    ASSERT_TRUE(MirrorObjectName(object, sizeof object, 1081037455u, 7, name.c_str(), true));
    EXPECT_EQ(PercentDecoded(path), object) << "byte " << b;
  }
}

TEST(MirrorUrl, EncodedLengthCountsAgainstTheCapacity) {
  // "http://m/" + "1081037455_1_" + "%25" * 3 = 9 + 13 + 9 = 31 characters.
  char url[40];
  memset(url, '#', sizeof url);
  EXPECT_TRUE(MirrorObjectUrl(url, 32, "http://m", 1081037455u, 1, "%%%", false));
  EXPECT_STREQ(url, "http://m/1081037455_1_%25%25%25");
  memset(url, '#', sizeof url);
  EXPECT_FALSE(MirrorObjectUrl(url, 31, "http://m", 1081037455u, 1, "%%%", false));
  EXPECT_EQ(url[0], 0);
  EXPECT_EQ(url[31], '#');
  EXPECT_FALSE(MirrorObjectUrl(url, 0, "http://m", 1, 1, "a", false));
}
