// The mirror site table: what a site text registers, and the tried flags.
#include "config/sites.h"

#include <gtest/gtest.h>

#include <string>

#include "tinylib/text.h"

namespace {

class SiteTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSiteTable(); }
  void TearDown() override { ResetSiteTable(); }
};

TEST_F(SiteTableTest, AddSiteTakesOnlyPlainHttp) {
  struct Case { const char* text; bool added; const char* url; int32_t threads; } cases[] = {
      {"http://m1.example/files=3", true, "http://m1.example/files", 3},
      {"HTTP://M2.EXAMPLE/Files", true, "HTTP://M2.EXAMPLE/Files", 1},
      {"http://m3.example=0", true, "http://m3.example", 0},
      {"http://m4.example=x", true, "http://m4.example", 0},
      {"http://m5.example=99", true, "http://m5.example", kMaxSiteThreads},
      {"https://secure.example=2", false, "", 0},
      {"ftp://m.example", false, "", 0},
      {"http:/", false, "", 0},
  };
  for (const auto& c : cases) {
    ResetSiteTable();
    std::string text = c.text;
    EXPECT_EQ(AddSite(&text[0]), c.added) << c.text;
    ASSERT_EQ(SiteCount, c.added ? 1 : 0);
    if (!c.added) continue;
    EXPECT_STREQ(SiteTable[0]->Url, c.url);
    EXPECT_EQ(SiteTable[0]->Threads, c.threads);
  }
}

TEST_F(SiteTableTest, LongUrlsAndExtraSitesAreLeftOut) {
  std::string longest = "http://" + std::string(252, 'h') + "=2";  // 259 before '='
  std::string tooLong = "http://" + std::string(253, 'h');
  EXPECT_TRUE(AddSite(&longest[0]));
  EXPECT_EQ(TextLength(SiteTable[0]->Url), 259);
  EXPECT_FALSE(AddSite(&tooLong[0]));
  for (int i = 1; i < 20; i++) {
    std::string text = "http://m" + std::to_string(i);
    EXPECT_EQ(AddSite(&text[0]), i < kSiteTableCapacity) << i;
  }
  EXPECT_EQ(SiteCount, kSiteTableCapacity);
  EXPECT_STREQ(SiteTable[15]->Url, "http://m15");
}

TEST_F(SiteTableTest, TriedFlagsNeverReachOutsideTheList) {
  std::string text = "http://m.example";
  ASSERT_TRUE(AddSite(&text[0]));
  TSiteInfo* site = SiteTable[0];
  // Before sizing, everything reads as tried: the site takes nothing.
  EXPECT_TRUE(IsTried(site, 0));
  MarkTried(site, 0);

  const int32_t kItems = 700;  // beyond any fixed table of 512
  ASSERT_TRUE(SizeTriedFlags(site, kItems));
  for (int32_t i : {0, 511, 512, kItems - 1}) EXPECT_FALSE(IsTried(site, i)) << i;
  MarkTried(site, 600);
  EXPECT_TRUE(IsTried(site, 600));
  EXPECT_FALSE(IsTried(site, 599));
  for (int32_t i : {-1, kItems, 1 << 30}) {
    MarkTried(site, i);
    EXPECT_TRUE(IsTried(site, i)) << i;
  }
  // Resizing starts clear again; a zero-item list holds no flags.
  ASSERT_TRUE(SizeTriedFlags(site, 3));
  EXPECT_FALSE(IsTried(site, 2));
  EXPECT_TRUE(IsTried(site, 3));
  ASSERT_TRUE(SizeTriedFlags(site, 0));
  EXPECT_TRUE(IsTried(site, 0));
}

}  // namespace
