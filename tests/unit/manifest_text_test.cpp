// Manifest text: sections, file lines, the language filter, site lines and
// the limits of the records. Each case feeds real manifest bytes through the
// parser and looks at what comes out.
#include "manifest/manifest_text.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "tinylib/text.h"

namespace {

struct Collected {
  std::string name;
  int32_t size;
  uint32_t stamp;
  std::string path;
};

struct Collector {
  std::vector<Collected> entries;
  std::vector<std::string> sites;
  int32_t reservedLines = -1;
  bool allowReserve = true;
};

bool CollectReserve(void* context, int32_t lineCount) {
  Collector* c = static_cast<Collector*>(context);
  c->reservedLines = lineCount;
  return c->allowReserve;
}

void CollectEntry(void* context, const ManifestEntry& entry, const char* localPath) {
  static_cast<Collector*>(context)->entries.push_back(
      {entry.Name, entry.Size, entry.Stamp, localPath});
}

void CollectSite(void* context, char* line) {
  static_cast<Collector*>(context)->sites.push_back(line);
}

struct Options {
  uint8_t sectionSet = 0x02;
  int32_t installMode = 0;
  const char* language = "";
  const char* installDir = "C:\\Inst\\";
  bool cut = false;
};

// Parses a copy of text with one spare byte, as the transfer buffers have.
Collector Parse(const std::string& text, const Options& o = Options(), bool allowReserve = true) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\x7f');  // spare byte, deliberately not a NUL
  Collector c;
  c.allowReserve = allowReserve;
  ManifestSettings settings = {o.sectionSet, o.installMode, o.language, o.installDir};
  ManifestSink sink = {&c, CollectReserve, CollectEntry, CollectSite};
  int32_t n = ParseManifestText(buffer.data(), static_cast<int32_t>(text.size()), o.cut,
                                settings, sink);
  EXPECT_EQ(n, static_cast<int32_t>(c.entries.size()));
  return c;
}

std::vector<std::string> Names(const Collector& c) {
  std::vector<std::string> names;
  for (const auto& e : c.entries) names.push_back(e.name);
  return names;
}

}  // namespace

TEST(ManifestSections, HeaderPrefixesIgnoreCase) {
  struct Case { const char* text; int32_t number; } cases[] = {
      {"client]", 1},   {"CLIENT]", 1},   {"CLIENTS]", 1},   {"Other]", 0},
      {"ServerOnly]", 2}, {"ONDEMAND]", 3}, {"sites]", 4},    {"CLIEN]", 0},
      {"", 0},          {" CLIENT]", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SectionNumber(c.text), c.number) << c.text;
}

TEST(ManifestSections, SectionSetSelectsWhichFileLinesAreListed) {
  const std::string text =
      "before=1,1\r[CLIENT]\rc=1,1\r[SERVERONLY]\rs=1,1\r[ONDEMAND]\ro=1,1\r"
      "[Other]\rx=1,1\r[client]\rc2=1,1\r";
  struct Case { uint8_t set; std::vector<std::string> names; } cases[] = {
      {0x02, {"c", "c2"}},
      {0x0E, {"c", "s", "o", "c2"}},
      {0x01, {"before", "x"}},  // section 0: before any header and unknown ones
      {0x00, {}},
      {0xF0, {}},
  };
  for (const auto& c : cases) {
    Options o;
    o.sectionSet = c.set;
    EXPECT_EQ(Names(Parse(text, o)), c.names) << int(c.set);
  }
}

TEST(ManifestFileLine, FieldsAreReadAsWritten) {
  struct Case { const char* line; const char* name; int32_t size; uint32_t stamp; } cases[] = {
      {"bin\\app.dll=1024,1081037455", "bin\\app.dll", 1024, 1081037455u},
      {"readme.txt=500", "readme.txt", 500, 0},
      {"readme.txt", "readme.txt", 0, 0},
      {"readme.txt=0,99", "readme.txt", 0, 99},
      {"x=12a34,5", "x", 12, 34},
      {"a=,7", "a", 0, 7},
      {"a=5,", "a", 5, 0},
      {"a=7=8,9", "a", 7, 8},
      {"a=2147483647,4294967295", "a", 2147483647, 4294967295u},
      {"late.dat=1,3000000000", "late.dat", 1, 3000000000u},  // a date in 2069
      {"a=000000000000000000012,1", "a", 12, 1},
  };
  for (const auto& c : cases) {
    ManifestEntry e;
    ASSERT_EQ(ParseFileLine(c.line, &e), kFileLineOk) << c.line;
    EXPECT_STREQ(e.Name, c.name);
    EXPECT_EQ(e.Size, c.size) << c.line;
    EXPECT_EQ(e.Stamp, c.stamp) << c.line;
  }
}

TEST(ManifestFileLine, RefusesWhatTheRecordsCannotHold) {
  const std::string name63(63, 'n');
  const std::string name64(64, 'n');
  const std::string line63 = name63 + "=1,2";
  const std::string line64 = name64 + "=1,2";
  const std::string bare64 = name64;
  struct Case { const char* line; FileLineResult result; } cases[] = {
      {line63.c_str(), kFileLineOk},
      {line64.c_str(), kFileLineNameTooLong},
      {bare64.c_str(), kFileLineNameTooLong},
      {"a=2147483648,1", kFileLineSizeTooLarge},
      {"a=4294967296,1", kFileLineSizeTooLarge},  // would wrap to 0
      {"a=99999999999999999999,1", kFileLineSizeTooLarge},
      {"a=1,4294967296", kFileLineStampTooLarge},
      {"=5,6", kFileLineUnsafeName},
      {"..\\evil.dll=1,1", kFileLineUnsafeName},
      {"bin\\..\\..\\evil.dll=1,1", kFileLineUnsafeName},
      {"bin/../../evil.dll=1,1", kFileLineUnsafeName},
      {"C:\\Windows\\evil.dll=1,1", kFileLineUnsafeName},
      {"\\Windows\\evil.dll=1,1", kFileLineUnsafeName},
      {"/etc/evil=1,1", kFileLineUnsafeName},
      {"bin\\=1,1", kFileLineUnsafeName},
      {"a\x01.dll=1,1", kFileLineUnsafeName},
      {"bin\\nul.txt=1,1", kFileLineUnsafeName},
      {"file.txt:stream=1,1", kFileLineUnsafeName},
      {"linkfiles=10,1", kFileLineReservedName},
      {"INSTALL.TXT=10,1", kFileLineReservedName},
      {"Pellinor.staging\\new\\a.dll=10,1", kFileLineReservedName},
  };
  for (const auto& c : cases) {
    ManifestEntry e;
    memset(&e, 0x5A, sizeof e);
    EXPECT_EQ(ParseFileLine(c.line, &e), c.result) << c.line;
    if (c.result != kFileLineOk) {
      EXPECT_EQ(e.Name[0], 0x5A) << "entry touched: " << c.line;
    }
  }
}

namespace {

const std::string kHex =  // every nibble value, in both halves of a byte
    "0123456789abcdeffedcba98765432100f1e2d3c4b5a69788796a5b4c3d2e1f0";

std::string HexOf(const ManifestEntry& e) {
  char text[kSha256HexCapacity];
  FormatSha256Hex(e.Hash, text);
  return text;
}

std::string Upper(std::string text) {
  for (char& ch : text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return text;
}

// What an installer that knows nothing of hashes reads from a file line:
// name before the first '=', size digits, one separator, stamp digits, and
// nothing of the rest.
void OldInstallerReads(const std::string& line, std::string* name, uint64_t* size,
                       uint64_t* stamp) {
  size_t equals = line.find('=');
  *name = line.substr(0, equals);
  *size = *stamp = 0;
  if (equals == std::string::npos) return;
  size_t i = equals + 1;
  auto digits = [&](uint64_t* value) {
    while (i < line.size() && isdigit(static_cast<unsigned char>(line[i])))
      *value = *value * 10 + static_cast<uint64_t>(line[i++] - '0');
  };
  digits(size);
  if (i++ >= line.size()) return;
  digits(stamp);
}

}  // namespace

TEST(ManifestHashField, ReadOnlyInItsOneSpellingAndNeverMistakenForNoHash) {
  struct Case { std::string line; FileLineResult result; bool hasHash; uint32_t stamp; } cases[] = {
      {"a=5,6", kFileLineOk, false, 6},
      {"a=5,6," + kHex, kFileLineOk, true, 6},
      {"a=5,," + kHex, kFileLineOk, true, 0},
      {"a=," + std::string("6,") + kHex, kFileLineOk, true, 6},
      // A third field after "size,stamp," that is not exactly the 64
      // lowercase digits refuses the line.
      {"a=5,6," + Upper(kHex), kFileLineBadHash, false, 0},
      {"a=5,6," + kHex.substr(0, 63), kFileLineBadHash, false, 0},
      {"a=5,6," + kHex + "0", kFileLineBadHash, false, 0},
      {"a=5,6," + kHex.substr(0, 63) + "g", kFileLineBadHash, false, 0},
      {"a=5,6," + kHex + " ", kFileLineBadHash, false, 0},
      {"a=5,6," + kHex + ",x", kFileLineBadHash, false, 0},
      {"a=5,6, " + kHex, kFileLineBadHash, false, 0},
      {"a=5,6,", kFileLineBadHash, false, 0},
      {"a=5,,9", kFileLineBadHash, false, 0},
      // Text after a stamp that is not in the size,stamp, form stays ignored.
      {"x=12a34,5", kFileLineOk, false, 34},
      {"a=5;6," + kHex, kFileLineOk, false, 6},
      {"a=5,6 ," + kHex, kFileLineOk, false, 6},
  };
  for (const auto& c : cases) {
    ManifestEntry e;
    memset(&e, 0x5A, sizeof e);
    ASSERT_EQ(ParseFileLine(c.line.c_str(), &e), c.result) << c.line;
    if (c.result != kFileLineOk) {
      // Only the name, which the installer reports as a file not fetched.
      EXPECT_STREQ(e.Name, "a") << c.line;
      EXPECT_EQ(e.Size, 0x5A5A5A5A) << "entry filled: " << c.line;
      continue;
    }
    EXPECT_EQ(e.HasHash, c.hasHash) << c.line;
    EXPECT_EQ(e.Stamp, c.stamp) << c.line;
    EXPECT_EQ(HexOf(e), c.hasHash ? kHex : std::string(64, '0')) << c.line;
  }
}

TEST(ManifestHashField, HexTextRoundTripsAndRejectsOtherSpellings) {
  uint8_t hash[kSha256Size];
  ASSERT_TRUE(ParseSha256Hex(kHex.c_str(), hash));
  EXPECT_EQ(hash[0], 0x01);
  EXPECT_EQ(hash[8], 0xfe);
  EXPECT_EQ(hash[31], 0xf0);
  char text[kSha256HexCapacity];
  FormatSha256Hex(hash, text);
  EXPECT_EQ(text, kHex);
  for (const std::string& bad : {Upper(kHex), kHex.substr(0, 62), kHex + "a", std::string()}) {
    uint8_t kept[kSha256Size];
    memset(kept, 0x77, sizeof kept);
    EXPECT_FALSE(ParseSha256Hex(bad.c_str(), kept)) << bad;
    EXPECT_EQ(kept[0], 0x77) << bad;
  }
}

TEST(ManifestHashField, NameSizeAndStampAreTheSameWithOrWithoutHashes) {
  const char* lines[] = {
      "bin\\app.dll=1024,1081037455", "empty.txt=0,1081037455", "a b.txt=7,1",
      "late.dat=1,3000000000",         "big.bin=2147483647,4294967295",
  };
  std::string plain = "[CLIENT]\r\n", hashed = plain;
  for (const char* line : lines) {
    const std::string withHash = std::string(line) + "," + kHex;
    plain += std::string(line) + "\r\n";
    hashed += withHash + "\r\n";

    ManifestEntry without, with;
    ASSERT_EQ(ParseFileLine(line, &without), kFileLineOk) << line;
    ASSERT_EQ(ParseFileLine(withHash.c_str(), &with), kFileLineOk) << line;
    EXPECT_STREQ(with.Name, without.Name);
    EXPECT_EQ(with.Size, without.Size) << line;
    EXPECT_EQ(with.Stamp, without.Stamp) << line;
    EXPECT_FALSE(without.HasHash);
    EXPECT_TRUE(with.HasHash);

    // An installer of the old kind reads the same three fields.
    std::string oldName;
    uint64_t oldSize, oldStamp;
    OldInstallerReads(withHash, &oldName, &oldSize, &oldStamp);
    EXPECT_EQ(oldName, without.Name);
    EXPECT_EQ(oldSize, static_cast<uint64_t>(without.Size)) << line;
    EXPECT_EQ(oldStamp, without.Stamp) << line;
  }
  Collector a = Parse(plain), b = Parse(hashed);
  ASSERT_EQ(a.entries.size(), 5u);
  ASSERT_EQ(b.entries.size(), a.entries.size());
  for (size_t i = 0; i < a.entries.size(); i++) {
    EXPECT_EQ(b.entries[i].name, a.entries[i].name);
    EXPECT_EQ(b.entries[i].size, a.entries[i].size);
    EXPECT_EQ(b.entries[i].stamp, a.entries[i].stamp);
    EXPECT_EQ(b.entries[i].path, a.entries[i].path);
  }
}

TEST(ManifestParse, DroppedLinesLeaveNoTraceInTheNextEntry) {
  const std::string text = "[CLIENT]\r" + std::string(64, 'L') + "=9,9\r" +
                           "..\\up.dll=3,3\rbig=2147483648,1\rok.dll=7,8\r";
  Collector c = Parse(text);
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].name, "ok.dll");
  EXPECT_EQ(c.entries[0].size, 7);
  EXPECT_EQ(c.entries[0].stamp, 8u);
  EXPECT_EQ(c.entries[0].path, "C:\\Inst\\ok.dll");
}

TEST(ManifestParse, NamesTheInstallerWritesItselfAreDropped) {
  Collector c = Parse(
      "[CLIENT]\rlinkfiles=9,9\rinstall.txt=9,9\rPARAMS.CFG=9,9\rPellinor.exe=5,5\r"
      "EN\\linkfiles=4,4\r");
  ASSERT_EQ(c.entries.size(), 2u);
  EXPECT_EQ(c.entries[0].name, "Pellinor.exe");
  EXPECT_EQ(c.entries[1].name, "EN\\linkfiles");
}

TEST(ManifestParse, LineEndsAreCarriageReturns) {
  struct Case { std::string text; std::vector<std::string> names; } cases[] = {
      {"[CLIENT]\r\na=1,2\r\nb=3,4\r\n", {"a", "b"}},
      {"[CLIENT]\ra=1,2\rb=3,4", {"a", "b"}},  // last line without an end
      {"[CLIENT]\ra=1,2\nb=3,4\r", {"a"}},     // a lone LF ends nothing
      {"[CLIENT]\r\r\r\na=1,2\r", {"a"}},      // empty lines
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Names(Parse(c.text)), c.names);
}

TEST(ManifestParse, TextCutByTheReadLimitLosesOnlyItsLastLine) {
  struct Case { std::string text; bool cut; std::vector<std::string> names; } cases[] = {
      {"[CLIENT]\ra=1,2\rb=3,4\rc=5", false, {"a", "b", "c"}},
      {"[CLIENT]\ra=1,2\rb=3,4\rc=5", true, {"a", "b"}},
      {"[CLIENT]\ra=1,2\rb=3,4\r", true, {"a", "b"}},
      {"[CLIENT]\ra=1,2\rb=3,4\r\n", true, {"a", "b"}},
      {"[CLIENT]\ra=1,2\rb=3,4\r\nc", true, {"a", "b"}},
      {"no line end at all", true, {}},
  };
  for (const auto& c : cases) {
    Options o;
    o.cut = c.cut;
    o.sectionSet = 0x03;
    EXPECT_EQ(Names(Parse(c.text, o)), c.names) << c.text;
  }
}

TEST(ManifestParse, ReadsEveryLineOfALongManifest) {
  const int kLines = 3000;
  std::string text = "[CLIENT]\r\n";
  for (int i = 0; i < kLines; i++) text += "f" + std::to_string(i) + ".dat=" + std::to_string(i) + ",1\r\n";
  Collector c = Parse(text);
  EXPECT_EQ(c.reservedLines, kLines + 1);
  ASSERT_EQ(c.entries.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(c.entries[kLines - 1].name, "f2999.dat");
  EXPECT_EQ(c.entries[kLines - 1].size, 2999);
}

TEST(ManifestParse, InstallFolderAndNameMustFitAPath) {
  const std::string name60 = std::string(56, 'n') + ".dat";
  struct Case { size_t dirLength; bool listed; } cases[] = {{199, true}, {200, false}};
  for (const auto& c : cases) {
    std::string dir = "C:\\" + std::string(c.dirLength - 4, 'd') + "\\";
    ASSERT_EQ(dir.size(), c.dirLength);
    Options o;
    o.installDir = dir.c_str();
    Collector got = Parse("[CLIENT]\r" + name60 + "=1,1\r", o);
    ASSERT_EQ(got.entries.size(), c.listed ? 1u : 0u) << c.dirLength;
    if (c.listed) {
      EXPECT_EQ(got.entries[0].path, dir + name60);
    }
  }
}

TEST(ManifestParse, NegativeLengthIsAnEmptyText) {
  char buffer[] = "[CLIENT]\ra=1,1\r";
  Collector c;
  ManifestSettings settings = {0x02, 0, "", "C:\\"};
  ManifestSink sink = {&c, CollectReserve, CollectEntry, CollectSite};
  EXPECT_EQ(ParseManifestText(buffer, -1, false, settings, sink), 0);
  EXPECT_EQ(ParseManifestText(nullptr, 0, true, settings, sink), 0);
  EXPECT_TRUE(c.entries.empty());
}

TEST(ManifestLanguage, HostedInstallsKeepTheirLanguageFolders) {
  struct Case { int32_t mode; const char* language; const char* name; bool allowed; } cases[] = {
      {2, "EN", "EN\\help.txt", true},   {2, "EN", "en\\help.txt", true},
      {2, "EN", "DE\\help.txt", false},  {2, "EN", "ENG\\help.txt", false},
      {2, "EN", "help.txt", true},       {2, "ENU", "EN\\help.txt", true},
      {2, "ENU", "ENU\\a\\b.txt", true}, {2, "", "EN\\help.txt", false},
      {2, "", "top.txt", true},          {0, "", "EN\\help.txt", true},
      {1, "DE", "EN\\help.txt", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LanguageAllowsFor(c.name, c.mode, c.language), c.allowed)
        << c.mode << " " << c.language << " " << c.name;
}

TEST(ManifestLanguage, FilterAppliesToParsedEntriesAndReadsTheSettings) {
  Options o;
  o.installMode = 2;
  o.language = "EN";
  EXPECT_EQ(Names(Parse("[CLIENT]\rEN\\a=1,1\rDE\\b=1,1\rc=1,1\r", o)),
            (std::vector<std::string>{"EN\\a", "c"}));

  ResetInstallSettings();
  InstallSettings.InstallMode = 2;
  strcpy(InstallSettings.Language, "DE");
  EXPECT_TRUE(LanguageAllows("DE\\x"));
  EXPECT_FALSE(LanguageAllows("EN\\x"));
  ManifestSettings current = CurrentManifestSettings();
  EXPECT_EQ(current.InstallMode, 2);
  EXPECT_STREQ(current.Language, "DE");
  EXPECT_EQ(current.SectionSet, 0x02);
  ResetInstallSettings();
}

TEST(ManifestSites, SiteLinesReachTheSinkWhateverTheSectionSet) {
  Options o;
  o.sectionSet = 0;
  Collector c = Parse("[SITES]\rhttp://a.example=2\rhttps://b.example\r\rHTTP://C.EXAMPLE\r"
                      "[CLIENT]\rhttp://not.a.site=1,1\r", o, /*allowReserve=*/false);
  EXPECT_TRUE(c.entries.empty());
  // Every non-empty line of the section, as written: the sink judges them.
  EXPECT_EQ(c.sites, (std::vector<std::string>{"http://a.example=2", "https://b.example",
                                               "HTTP://C.EXAMPLE"}));
  // Without a site callback the lines are skipped, entries still come.
  std::string text = "[SITES]\rhttp://a.example\r[CLIENT]\rx=1,1\r";
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  Collector only;
  ManifestSettings settings = {0x02, 0, "", "C:\\"};
  ManifestSink sink = {&only, nullptr, CollectEntry, nullptr};
  EXPECT_EQ(ParseManifestText(buffer.data(), static_cast<int32_t>(text.size()), false, settings,
                              sink),
            1);
  EXPECT_TRUE(only.sites.empty());
}
