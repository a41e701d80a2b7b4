// Configuration: tokenizer, keywords, embedded arguments, file-name setup,
// presets and install-folder expansion, including over-long input.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "deployment.h"
#include "config/sites.h"
#include "tinylib/folders.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetInstallSettings();
    ResetSiteTable();
  }
  void TearDown() override { ResetSiteTable(); }
};

std::vector<std::string> Arguments() {
  std::vector<std::string> out;
  for (int32_t i = 0; i < ArgCount; i++) out.push_back(ArgTable[i]);
  return out;
}

// One field of InstallSettings as text, so tables can name what they expect.
std::string Field(const std::string& name) {
  const InstallSettingsRecord& s = InstallSettings;
  if (name == "HostName") return s.HostName;
  if (name == "Port") return std::to_string(s.Port);
  if (name == "InstallDir") return s.InstallDir;
  if (name == "ManifestUrl") return s.ManifestUrl;
  if (name == "LaunchLine") return s.LaunchLine;
  if (name == "ParamsCode") return s.ParamsCode;
  if (name == "Language") return s.Language;
  if (name == "DisplayName") return s.DisplayName;
  if (name == "EmbeddedConfig") return std::to_string(s.EmbeddedConfig);
  if (name == "SectionSet") return std::to_string(s.SectionSet);
  if (name == "InstallMode") return std::to_string(s.InstallMode);
  if (name == "FinalizeInstall") return std::to_string(s.FinalizeInstall);
  if (name == "SaasMode") return std::to_string(s.SaasMode);
  if (name == "ErpMode") return std::to_string(s.ErpMode);
  if (name == "UninstallRequested") return std::to_string(s.UninstallRequested);
  if (name == "Quiet") return std::to_string(s.Quiet);
  if (name == "CommandLineTooLong") return std::to_string(s.CommandLineTooLong);
  ADD_FAILURE() << "no field " << name;
  return "";
}

// expect is "Field=value|Field=value"; a value may contain '=' but not '|'.
void ExpectFields(const std::string& expect, const std::string& context) {
  size_t start = 0;
  while (start < expect.size()) {
    size_t bar = expect.find('|', start);
    if (bar == std::string::npos) bar = expect.size();
    std::string item = expect.substr(start, bar - start);
    size_t equals = item.find('=');
    std::string name = item.substr(0, equals);
    EXPECT_EQ(Field(name), item.substr(equals + 1)) << name << " for " << context;
    start = bar + 1;
  }
}

std::string CommonAppData() {
  char folder[262];
  SpecialFolderPath(folder, kCsidlCommonAppData);
  return folder;
}

TEST_F(ConfigTest, SplitsCommandLines) {
  struct Case {
    const char* line;
    std::vector<std::string> arguments;
  } cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"prog  \t a   b  ", {"prog", "a", "b"}},
      {" prog a", {"", "prog", "a"}},
      {"prog a\t\tb", {"prog", "a\t\tb"}},
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"\"C:\\P F\\prog.exe\" x", {"C:\\P F\\prog.exe", "x"}},
      {"prog \"a\"b", {"prog", "a", "b"}},
      {"prog \"a\" \tb", {"prog", "a", "b"}},
      {"prog a\"b c", {"prog", "a\"b", "c"}},
      {"prog \"\" x", {"prog", "", "x"}},
      {"prog \"a b", {"prog", "a b"}},
      {"prog \"", {"prog", ""}},
      {"", {}},
  };
  for (const Case& c : cases) {
    ResetInstallSettings();
    int32_t count = TokenizeText(c.line);
    EXPECT_EQ(Arguments(), c.arguments) << c.line;
    EXPECT_EQ(count, static_cast<int32_t>(c.arguments.size())) << c.line;
  }
}

TEST_F(ConfigTest, AppliesKeywords) {
  struct Case {
    const char* line;
    const char* expect;
  } cases[] = {
      {"p host=srv", "HostName=srv|Port=0"},
      {"p host:srv:7000", "HostName=srv|Port=7000"},
      {"p \"host srv:22\"", "HostName=srv|Port=22"},
      {"p HOST=10.0.0.5:81", "HostName=10.0.0.5|Port=81"},
      {"p host=srv:", "HostName=srv|Port=0"},
      {"p host=srv:x", "Port=0"},
      {"p host xco=ON", "HostName=|FinalizeInstall=1"},  // a bare keyword has no value
      {"p xco=on", "FinalizeInstall=1"},
      {"p XCO:ON", "FinalizeInstall=1"},
      {"p xco=off", "FinalizeInstall=0"},
      {"p xco", "FinalizeInstall=0"},
      {"p dir=C:\\X", "InstallDir=C:\\X"},
      {"p directory=C:\\X", "InstallDir=ctory=C:\\X"},
      {"p dir", "InstallDir="},
      {"p next dir=C:\\X -x", "InstallDir=|LaunchLine=\"dir=C:\\X\" \"-x\""},
      {"p dir=C:\\A next", "InstallDir=C:\\A|LaunchLine="},
      {"p next \"a b\" \"\"", "LaunchLine=\"a b\" \"\""},
      {"p \"linkname=My Client\"", "DisplayName=My Client"},
      {"p linkname", "DisplayName="},
      {"p azure", "InstallMode=1"},
      {"p AZUREx", "InstallMode=1"},
      {"p uninstall", "UninstallRequested=1|InstallDir="},
      {"p dir=C:\\A uninstall", "UninstallRequested=1|InstallDir=C:\\A"},
      {"p uninstall:C:\\X", "UninstallRequested=1|InstallDir=C:\\X"},
      {"p dir=C:\\A uninstall:C:\\B", "InstallDir=C:\\B"},
      {"p uninstall:C:\\B dir=C:\\A", "InstallDir=C:\\A"},
      {"p include=14", "SectionSet=14"},
      {"p include=x", "SectionSet=0"},
      {"p include=258", "SectionSet=2"},
      {"p unknown", "SectionSet=2|DisplayName=Brevane Client|FinalizeInstall=0"},
      {"p -host=srv", "HostName="},
  };
  for (const Case& c : cases) {
    ResetInstallSettings();
    ResetSiteTable();
    TokenizeText(c.line);
    ExpectFields(c.expect, c.line);
  }
}

TEST_F(ConfigTest, HostPortReportsDot) {
  EXPECT_TRUE(ParseHostPort("10.0.0.5"));
  EXPECT_FALSE(ParseHostPort("srv:1.2"));  // the dot is in the port part
  EXPECT_EQ(Field("HostName"), "srv");
  EXPECT_EQ(Field("Port"), "1");
}

TEST_F(ConfigTest, WebKeywordAddsSite) {
  TokenizeText("p web:http://m1.example/c=3 WEB:ftp://no");
  ASSERT_EQ(SiteCount, 1);
  EXPECT_STREQ(SiteTable[0]->Url, "http://m1.example/c");
  EXPECT_EQ(SiteTable[0]->Threads, 3);
}

TEST_F(ConfigTest, ReadsEmbeddedArguments) {
  struct Case {
    std::string text;
    const char* expect;
  } cases[] = {
      {"host=srv:81&dir=%AppData%\\X&xco=ON",
       "HostName=srv|Port=80|InstallDir=%AppData%\\X|FinalizeInstall=1|EmbeddedConfig=1"},
      {"host=srv:", "Port=-1"},
      {"host=srv", "Port=0"},
      {"dir=C:\\X", "InstallDir=C:\\X|FinalizeInstall=0"},
      {"uninstall:C:\\X", "UninstallRequested=1|InstallDir=C:\\X"},
      {"dir=C:\\X\r\n", "InstallDir=C:\\X"},
      {std::string("dir=C:\\X\0&xco=ON", 16), "InstallDir=C:\\X|FinalizeInstall=0"},
      {"&&dir=C:\\Y&", "InstallDir=C:\\Y"},
      {"next&a b&c", "LaunchLine=\"a b\" \"c\""},
      {"", "EmbeddedConfig=1|InstallDir="},
  };
  for (const Case& c : cases) {
    ResetInstallSettings();
    ASSERT_EQ(TokenizeText("prog"), 1);
    AddEmbeddedArguments(c.text.data(), static_cast<int32_t>(c.text.size()));
    ExpectFields(c.expect, c.text);
    EXPECT_STREQ(ArgTable[0], "prog");
  }
}

TEST_F(ConfigTest, EmbeddedArgumentsWithoutProgramPath) {
  ASSERT_EQ(TokenizeText(""), 0);
  const char text[] = "dir=C:\\X&xco=ON";
  AddEmbeddedArguments(text, sizeof text - 1);
  ExpectFields("InstallDir=C:\\X|FinalizeInstall=1", "empty command line");
  EXPECT_STREQ(ArgTable[0], "");
}

TEST_F(ConfigTest, EmbeddedTextLimit) {
  // 1023 bytes of text are read; 1024 are refused whole.
  std::string fits = "dir=C:\\X&linkname=" + std::string(1023 - 18, 'n');
  ASSERT_EQ(fits.size(), 1023u);
  TokenizeText("prog");
  AddEmbeddedArguments(fits.data(), static_cast<int32_t>(fits.size()));
  ExpectFields("InstallDir=C:\\X|DisplayName=" + std::string(63, 'n'), "1023 bytes");

  ResetInstallSettings();
  std::string tooLong = fits + "n";
  TokenizeText("prog");
  AddEmbeddedArguments(tooLong.data(), static_cast<int32_t>(tooLong.size()));
  ExpectFields("InstallDir=|DisplayName=Brevane Client|EmbeddedConfig=1", "1024 bytes");

  ResetInstallSettings();
  std::string huge = "dir=" + std::string(5000, 'd');
  TokenizeText("prog");
  AddEmbeddedArguments(huge.data(), static_cast<int32_t>(huge.size()));
  EXPECT_EQ(Field("InstallDir"), "");
}

TEST_F(ConfigTest, ArgumentsPastTableAreIgnored) {
  std::string line = "p";
  for (int i = 1; i <= 15; i++) line += " include=" + std::to_string(i);
  line += " include=99 dir=C:\\late";
  EXPECT_EQ(TokenizeText(line.c_str()), kArgTableCapacity);
  EXPECT_EQ(ArgCount, kArgTableCapacity);
  ExpectFields("SectionSet=15|InstallDir=", "16 arguments");

  ResetInstallSettings();
  std::string text;
  for (int i = 1; i <= 20; i++) text += (i > 1 ? "&" : "") + std::string("include=") + std::to_string(i);
  TokenizeText("prog");
  AddEmbeddedArguments(text.data(), static_cast<int32_t>(text.size()));
  EXPECT_EQ(ArgCount, kArgTableCapacity);
  EXPECT_EQ(Field("SectionSet"), "15");
}

TEST_F(ConfigTest, LongCommandLineKeepsWholeArguments) {
  // The copy holds 259 characters: an argument that would be cut is dropped
  // with everything after it, but the line still counts as carrying arguments.
  std::string head = "p xco=ON ";
  std::string dir = "dir=C:\\" + std::string(300, 'd');
  EXPECT_EQ(TokenizeText((head + dir + " include=6").c_str()), 4);
  EXPECT_EQ(Arguments(), (std::vector<std::string>{"p", "xco=ON"}));
  ExpectFields("FinalizeInstall=1|InstallDir=|SectionSet=2", "cut dir");

  // A lone over-long argument still makes the count 2.
  ResetInstallSettings();
  EXPECT_EQ(TokenizeText(("p dir=" + std::string(5000, 'x')).c_str()), 2);
  EXPECT_EQ(ArgCount, 1);
  EXPECT_EQ(Field("InstallDir"), "");

  // An argument ending exactly at the last byte of the copy is whole.
  ResetInstallSettings();
  std::string exact = "p dir=" + std::string(259 - 6, 'e');
  ASSERT_EQ(exact.size(), 259u);
  TokenizeText((exact + " xco=ON").c_str());
  EXPECT_EQ(Field("InstallDir"), std::string(253, 'e'));
  EXPECT_EQ(Field("FinalizeInstall"), "0");

  EXPECT_EQ(Field("CommandLineTooLong"), "1");
  ResetInstallSettings();
  TokenizeText(exact.c_str());
  EXPECT_EQ(Field("CommandLineTooLong"), "0");

  // One byte more and it would be cut: dropped.
  ResetInstallSettings();
  EXPECT_EQ(TokenizeText((exact + "e").c_str()), 2);
  EXPECT_EQ(Field("InstallDir"), "");
  EXPECT_EQ(Field("CommandLineTooLong"), "1");

  // A quoted one is whole when its closing quote is the first byte past the copy.
  ResetInstallSettings();
  std::string quoted = "p \"dir=" + std::string(259 - 7, 'q') + "\"";
  ASSERT_EQ(quoted.size(), 260u);
  TokenizeText(quoted.c_str());
  EXPECT_EQ(Field("InstallDir"), std::string(252, 'q'));

  // A program path longer than the copy leaves no slot 0.
  ResetInstallSettings();
  EXPECT_EQ(TokenizeText(("\"C:\\" + std::string(5000, 'p') + ".exe\"").c_str()), 1);
  EXPECT_EQ(ArgCount, 0);
}

// A cut command line ends the run with a failure; whether that failure may
// show a box is read from the whole line: "quiet" counts wherever it stands
// among the keywords, but not as the program's name or after "next".
TEST_F(ConfigTest, ACutCommandLineStillTellsWhetherQuietWasMeant) {
  const std::string folder = "dir=C:\\" + std::string(300, 'd');
  const struct {
    std::string line;
    const char* quiet;
  } cases[] = {
      {"p " + folder + " quiet", "1"},
      {"p QUIET " + folder, "1"},
      {"p " + folder + " \"quiet\"", "1"},
      {"p " + folder, "0"},
      {"quiet.exe " + folder, "0"},
      {"p next " + folder + " quiet", "0"},
      {"p " + folder + " next quiet", "0"},
  };
  for (const auto& c : cases) {
    ResetInstallSettings();
    TokenizeText(c.line.c_str());
    ExpectFields(std::string("CommandLineTooLong=1|Quiet=") + c.quiet, c.line.substr(0, 20));
  }
}

TEST_F(ConfigTest, OverlongValuesNeverOverflow) {
  std::string big(5000, 'v');
  strcpy(InstallSettings.HostName, "old");
  InstallSettings.Port = 7;
  EXPECT_FALSE(ParseHostPort((big + ":99").c_str()));
  ExpectFields("HostName=old|Port=7", "long host");
  EXPECT_FALSE(ParseHostPort(std::string(260, 'h').c_str()));
  EXPECT_EQ(Field("HostName"), "old");
  ParseHostPort(std::string(259, 'h').c_str());
  EXPECT_EQ(Field("HostName"), std::string(259, 'h'));

  // Embedded values can be up to 1023 bytes: each field refuses or cuts.
  const char* keywords[] = {"host=", "dir=", "linkname=", "uninstall:", "web:http://", "include="};
  for (const char* keyword : keywords) {
    ResetInstallSettings();
    ResetSiteTable();
    std::string text = std::string(keyword) + std::string(1000, '7');
    TokenizeText("prog");
    AddEmbeddedArguments(text.data(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(Field("HostName"), "") << keyword;
    EXPECT_EQ(Field("InstallDir"), "") << keyword;
    EXPECT_EQ(SiteCount, 0) << keyword;
  }
  EXPECT_EQ(Field("DisplayName"), "Brevane Client");
  ResetInstallSettings();
  std::string name = "linkname=" + std::string(1000, 'n');
  TokenizeText("prog");
  AddEmbeddedArguments(name.data(), static_cast<int32_t>(name.size()));
  EXPECT_EQ(Field("DisplayName"), std::string(63, 'n'));
}

TEST_F(ConfigTest, LaunchLineThatDoesNotFitLaunchesNothing) {
  EXPECT_TRUE(AppendLaunchArgument(std::string(257, 'a').c_str()));  // 259 with quotes
  EXPECT_FALSE(AppendLaunchArgument(""));
  EXPECT_EQ(Field("LaunchLine"), "\"" + std::string(257, 'a') + "\"");

  ResetInstallSettings();
  std::string text = "next&" + std::string(200, 'a') + "&" + std::string(200, 'b') + "&c";
  TokenizeText("prog");
  AddEmbeddedArguments(text.data(), static_cast<int32_t>(text.size()));
  EXPECT_EQ(Field("LaunchLine"), "");
}

TEST_F(ConfigTest, DerivesSetupFromFileName) {
  const std::string suffix = PELLINOR_SAAS_DOMAIN_SUFFIX;
  const std::string common = CommonAppData();
  const std::string hosted = std::string("ManifestUrl=") + PELLINOR_HOSTED_MANIFEST_URL +
                             "|LaunchLine=link|InstallMode=2";
  struct Case {
    const char* path;
    std::string expect;
  } cases[] = {
      {"C:\\dl\\acme-x.exe",
       "HostName=acme" + suffix +
           "|Port=22000|InstallDir=%AppData%\\Brevane\\acme\\|DisplayName=acme|SaasMode=1|"
           "FinalizeInstall=1|InstallMode=0|ManifestUrl="},
      {"acme-My_Office-x.exe", "DisplayName=My Office|HostName=acme" + suffix},
      {"acme-900-x.exe", "Port=900|DisplayName=acme"},
      {"acme-900-My_Office-x.exe", "Port=900|DisplayName=My Office"},
      {"acme-1-2-3-4-5-x.exe", "Port=1|DisplayName=2"},
      {"acme-!x-x.exe", "DisplayName=!x|ParamsCode="},
      {"srv.corp.lan-x.exe", "HostName=srv.corp.lan|InstallDir=%AppData%\\Brevane\\srv.corp.lan\\"},
      {"my_co-x.exe",
       "HostName=my co" + suffix + "|InstallDir=%AppData%\\Brevane\\my co\\|DisplayName=my co"},
      {"_acme-x.exe", "HostName=_acme" + suffix},
      {"C:\\a-b\\c_d\\acme-x", "HostName=acme" + suffix + "|DisplayName=acme"},
      {"-acme.exe", "HostName=|Port=0|InstallDir=|SaasMode=1|FinalizeInstall=1"},
      // A tenant of dots and blanks would name Brevane itself or a folder above it.
      {"..-x.exe", "HostName=..|Port=22000|InstallDir=|DisplayName=.."},
      {"._.-x.exe", "InstallDir=|DisplayName=. ."},
      {"x..-y.exe", "InstallDir=%AppData%\\Brevane\\x..\\"},
      {"Setup.exe", "HostName=|Port=0|InstallDir=|SaasMode=1|FinalizeInstall=1|DisplayName=Brevane Client"},
      {"azureEN-!abc-x.exe",
       hosted + "|Language=EN|ParamsCode=abc|InstallDir=" + common +
           "Brevane\\Azure\\|DisplayName=Brevane on Azure|HostName=" PELLINOR_HOSTED_SESSION_HOST
           "|Port=22000|SaasMode=1|FinalizeInstall=1|ErpMode=0"},
      {"azuredemoEN-x.exe",
       hosted + "|Language=EN|InstallDir=" + common +
           "Brevane\\AzureDemo\\|DisplayName=Brevane on Azure Demo"},
      {"AZURE-x.exe", hosted + "|Language=|InstallDir=" + common + "Brevane\\Azure\\"},
      {"azure-!abc.exe", "ParamsCode=abc.exe|Port=22000|DisplayName=Brevane on Azure"},
      {"azureEN-!abc-900-Office-x.exe", "ParamsCode=abc|Port=900|DisplayName=Office"},
      {"azureEN-900-x.exe", "Port=900|DisplayName=Brevane on Azure"},
      {"q9lot.exe",
       hosted + "|ErpMode=1|Language=|SectionSet=6|InstallDir=" + common +
           "Brevane\\Brevane\\|DisplayName=Brevane ERP|HostName=|Port=0|SaasMode=0|FinalizeInstall=1"},
      {"q9lot-x.exe", "ErpMode=1|Language=q9lot"},
      {"q9lot-EN-x.exe", "ErpMode=1|Language=EN"},
      {"Q9LOT-a-b-EN-x.exe", "ErpMode=1|Language=EN"},
      {"q9lot-a-b-c-d-EN-x.exe", "ErpMode=1|Language=EN"},
  };
  for (const Case& c : cases) {
    ResetInstallSettings();
    std::string line = std::string("\"") + c.path + "\"";
    ASSERT_EQ(TokenizeText(line.c_str()), 1) << c.path;
    DeriveFromFileName();
    ExpectFields(c.expect, c.path);
  }
}

TEST_F(ConfigTest, FileNameWithoutProgramPathDerivesNothing) {
  TokenizeText("");
  DeriveFromFileName();
  ExpectFields("FinalizeInstall=0|SaasMode=0", "no slot 0");
}

TEST_F(ConfigTest, OverlongFileNameFieldsAreRefusedOrCut) {
  // Slot 0 normally comes from the 259-byte copy; longer paths are only
  // possible through a caller, and must still stay inside every buffer.
  std::vector<std::string> names = {
      std::string(1000, 't') + "-x.exe",                       // refused host and folder
      std::string(250, 't') + "-x.exe",                        // host fits, suffix does not
      "azure" + std::string(100, 'L') + "-!" + std::string(300, 'p') + "-x.exe",
      "q9lot-" + std::string(100, 'L') + "-x.exe",
      std::string(5000, 'n'),
  };
  std::vector<std::string> expects = {
      "HostName=|InstallDir=|DisplayName=" + std::string(63, 't') + "|Port=22000",
      "HostName=|InstallDir=|Port=22000|DisplayName=" + std::string(63, 't'),
      "Language=|ParamsCode=|InstallMode=2",
      "Language=|ErpMode=1",
      "FinalizeInstall=0|SaasMode=0",
  };
  for (size_t i = 0; i < names.size(); i++) {
    ResetInstallSettings();
    std::vector<char> path(names[i].begin(), names[i].end());
    path.push_back(0);
    ArgTable[0] = path.data();
    ArgCount = 1;
    DeriveFromFileName();
    ExpectFields(expects[i], names[i].substr(0, 40));
  }
}

// A fake environment with the results of GetEnvironmentVariableA.
struct FakeVariable {
  const char* name;
  std::string value;
};
std::vector<FakeVariable> FakeEnvironment;

int32_t ReadFake(const char* name, char* buffer, int32_t capacity) {
  for (const FakeVariable& v : FakeEnvironment) {
    if (strcmp(v.name, name) != 0) continue;
    int32_t length = static_cast<int32_t>(v.value.size());
    if (length >= capacity) return length + 1;
    memcpy(buffer, v.value.c_str(), v.value.size() + 1);
    return length;
  }
  return 0;
}

TEST_F(ConfigTest, ExpandsInstallFolder) {
  const std::string long249(249, 'v');
  struct Case {
    std::vector<FakeVariable> environment;
    std::string dir;
    std::string expected;
  } cases[] = {
      {{{"AppData", "C:\\Users\\u\\AppData\\Roaming"}}, "%AppData%\\X", "C:\\Users\\u\\AppData\\Roaming\\X\\"},
      {{{"ProgramFiles", "C:\\Program Files"}}, "%PROGRAMFILES%\\Brevane\\Client",
       "C:\\Program Files\\Brevane\\Client\\"},
      {{{"AppData", "C:\\A"}}, "%appdata%X", "C:\\AX\\"},
      {{{"AppData", "C:\\A"}, {"ProgramFiles", "C:\\P"}}, "%AppData%%ProgramFiles%", "C:\\A%ProgramFiles%\\"},
      {{{"AppData", "C:\\A"}}, "C:\\X", "C:\\X\\"},
      {{{"AppData", "C:\\A"}}, "C:\\X\\", "C:\\X\\"},
      {{{"Temp", "C:\\T"}}, "%Temp%\\X", "%Temp%\\X\\"},
      {{{"AppData", "C:\\A"}}, "%AppData", "%AppData\\"},
      {{}, "", ""},
      {{}, "%AppData%\\X", ""},                               // unset
      {{{"AppData", ""}}, "%AppData%\\X", ""},                // empty: would be the drive root
      {{{"AppData", std::string(250, 'v')}}, "%AppData%\\X", ""},  // does not fit 250
      {{{"AppData", long249}}, "%AppData%\\X", long249 + "\\X\\"},
      {{{"AppData", long249}}, "%AppData%\\" + std::string(8, 'r'), long249 + "\\" + std::string(8, 'r') + "\\"},
      {{{"AppData", long249}}, "%AppData%\\" + std::string(9, 'r'), ""},    // no room for the backslash
      {{{"AppData", long249}}, "%AppData%\\" + std::string(10, 'r'), ""},   // 260 characters
      {{}, std::string(258, 'd'), std::string(258, 'd') + "\\"},
      {{}, std::string(259, 'd'), ""},                        // no room for the backslash
      {{}, std::string(258, 'd') + "\\", std::string(258, 'd') + "\\"},
  };
  for (const Case& c : cases) {
    ResetInstallSettings();
    FakeEnvironment = c.environment;
    strcpy(InstallSettings.InstallDir, c.dir.c_str());
    ExpandInstallDir(ReadFake);
    EXPECT_EQ(Field("InstallDir"), c.expected) << c.dir;
  }
  FakeEnvironment.clear();
}

#if !defined(_WIN32)
TEST_F(ConfigTest, ResolvesThroughProcessEnvironment) {
  setenv("ProgramFiles", "C:\\Program Files (x86)", 1);
  strcpy(InstallSettings.InstallDir, "%ProgramFiles%\\Brevane");
  ResolveInstallDir();
  EXPECT_EQ(Field("InstallDir"), "C:\\Program Files (x86)\\Brevane\\");

  unsetenv("ProgramFiles");
  strcpy(InstallSettings.InstallDir, "%ProgramFiles%\\Brevane");
  ResolveInstallDir();
  EXPECT_EQ(Field("InstallDir"), "");
}
#endif

}  // namespace
