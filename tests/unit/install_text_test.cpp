// Texts of the installation steps: client arguments, shortcut names and
// paths, the remote-parameters query and reply, the link list filter and the
// uninstall relaunch line.
#include "install/install_text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "tinylib/text.h"

namespace {

InstallSettingsRecord Settings(const char* host, int32_t port, int32_t mode, const char* language,
                               bool saas, bool erp) {
  ResetInstallSettings();
  InstallSettingsRecord s = InstallSettings;
  PutText(s.HostName, host);
  s.Port = port;
  s.InstallMode = mode;
  PutText(s.Language, language);
  s.SaasMode = saas;
  s.ErpMode = erp;
  return s;
}

}  // namespace

TEST(ClientArguments, ChosenBySaasThenErpThenSessionHost) {
  struct Case {
    InstallSettingsRecord settings;
    const char* expected;
  } cases[] = {
      {Settings("server1", 7000, kModePlain, "", false, false), "/SXCO /HOST:server1:7000"},
      {Settings("srv", 8080, kModePlain, "", false, false), "/SXCO /HOST:srv:8080"},
      {Settings("srv", 0, kModePlain, "", false, false), "/SXCO /HOST:srv:0"},
      {Settings("", 0, kModePlain, "", false, false), "/SXCO /HOST::0"},
      {Settings("srv", 7000, kModePlain, "EN", false, true), "/XEXTUI"},
      // SaaS wins over ERP.
      {Settings("t.example", 22000, kModeHosted, "EN", true, true), "/XEXTUI /SAAS:t.example /LANG:EN"},
      {Settings("t.example", 22000, kModeHosted, "", true, false), "/XEXTUI /SAAS:t.example"},
      // The language only for the hosted presets.
      {Settings("t.example", 22000, kModePlain, "EN", true, false), "/XEXTUI /SAAS:t.example"},
      {Settings("t.example", 22000, kModeAzureKeyword, "DE", true, false), "/XEXTUI /SAAS:t.example"},
  };
  for (const Case& c : cases) {
    char out[kClientArgumentsCapacity];
    ASSERT_TRUE(BuildClientArguments(out, sizeof out, c.settings)) << c.expected;
    EXPECT_STREQ(out, c.expected);
  }
  ResetInstallSettings();
}

TEST(ClientArguments, RefusedWhenLongerThan256Characters) {
  // "/SXCO /HOST:" (12) + host + ":7000" (5): a host of 239 gives 256.
  std::string host(239, 'h');
  char out[kClientArgumentsCapacity];
  InstallSettingsRecord s = Settings(host.c_str(), 7000, kModePlain, "", false, false);
  ASSERT_TRUE(BuildClientArguments(out, sizeof out, s));
  EXPECT_EQ(strlen(out), 256u);

  host += 'h';
  s = Settings(host.c_str(), 7000, kModePlain, "", false, false);
  EXPECT_FALSE(BuildClientArguments(out, sizeof out, s));
  EXPECT_STREQ(out, "");

  // A language that pushes a SaaS line over the limit refuses it too.
  std::string language(63, 'L');
  s = Settings(std::string(180, 's').c_str(), 0, kModeHosted, language.c_str(), true, false);
  EXPECT_FALSE(BuildClientArguments(out, sizeof out, s));
  ResetInstallSettings();
}

TEST(LinkFileName, HostileCharactersBecomeUnderscores) {
  struct Case {
    const char* prefix;
    const char* name;
    const char* expected;
  } cases[] = {
      {nullptr, "Brevane Client", "Brevane Client"},
      {nullptr, "..\\..\\Windows\\evil", ".._.._Windows_evil"},
      {nullptr, "a/b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
      {nullptr, "tab\there\r\nx\x7f", "tab_here__x_"},
      {nullptr, "C:\\x", "C__x"},
      {nullptr, "", ""},
      {"Uninstall ", "Brevane on Azure", "Uninstall Brevane on Azure"},
      {"Uninstall ", "x/y", "Uninstall x_y"},
      // Bytes above 127 are characters of the code page and stay.
      {nullptr, "Caf\xe9", "Caf\xe9"},
      // Device names open a device whatever extension follows.
      {nullptr, "CON", "_CON"},
      {nullptr, "nul", "_nul"},
      {nullptr, "Com1", "_Com1"},
      {nullptr, "LPT9.x", "_LPT9.x"},
      {nullptr, "aux ", "_aux "},
      {nullptr, "CONSOLE", "CONSOLE"},
      {nullptr, "COM0", "_COM0"},
      {nullptr, "lpt\xb9.x", "_lpt\xb9.x"},
      {"Uninstall ", "CON", "Uninstall CON"},
  };
  for (const Case& c : cases) {
    char out[kLinkNameCapacity];
    EXPECT_TRUE(MakeLinkFileName(out, sizeof out, c.prefix, c.name)) << c.name;
    EXPECT_STREQ(out, c.expected);
  }
}

TEST(LinkFileName, UninstallNameKeptWithin63Characters) {
  std::string name(53, 'n');
  char out[kLinkNameCapacity];
  EXPECT_TRUE(MakeLinkFileName(out, sizeof out, "Uninstall ", name.c_str()));
  EXPECT_EQ(strlen(out), 63u);

  name = std::string(63, 'n');
  EXPECT_FALSE(MakeLinkFileName(out, sizeof out, "Uninstall ", name.c_str()));
  EXPECT_EQ(std::string(out), "Uninstall " + std::string(53, 'n'));

  // A reserved name's '_' does not push it past the limit either.
  std::string con = "CON." + std::string(59, 'x');
  EXPECT_FALSE(MakeLinkFileName(out, sizeof out, nullptr, con.c_str()));
  EXPECT_EQ(strlen(out), 63u);
  EXPECT_EQ(out[0], '_');
}

TEST(LinkPath, FolderNameAndExtensionWithinTheLimit) {
  char out[kLinkPathCapacity];
  ASSERT_TRUE(BuildLinkPath(out, sizeof out, "C:\\Users\\Public\\Desktop\\", "Brevane Client"));
  EXPECT_STREQ(out, "C:\\Users\\Public\\Desktop\\Brevane Client.lnk");
  ASSERT_TRUE(BuildLinkPath(out, sizeof out, "C:\\Menu", "x"));
  EXPECT_STREQ(out, "C:\\Menu\\x.lnk");

  // An unresolved folder gives no path at all, not one under the drive root.
  EXPECT_FALSE(BuildLinkPath(out, sizeof out, "", "x"));
  EXPECT_STREQ(out, "");

  // 259 characters fit; 260 do not.
  std::string folder = "C:\\" + std::string(250, 'f') + "\\";  // 254
  ASSERT_TRUE(BuildLinkPath(out, sizeof out, folder.c_str(), "x"));
  EXPECT_EQ(strlen(out), 259u);
  EXPECT_FALSE(BuildLinkPath(out, sizeof out, folder.c_str(), "xy"));
  EXPECT_STREQ(out, "");
}

TEST(WorkingFolder, LosesOnlyItsTrailingBackslash) {
  char out[kPathCapacity];
  ASSERT_TRUE(FolderWithoutBackslash(out, sizeof out, "C:\\Brevane\\Client\\"));
  EXPECT_STREQ(out, "C:\\Brevane\\Client");
  ASSERT_TRUE(FolderWithoutBackslash(out, sizeof out, "C:\\NoSlash"));
  EXPECT_STREQ(out, "C:\\NoSlash");
  char small[4];
  EXPECT_FALSE(FolderWithoutBackslash(small, sizeof small, "C:\\AB\\"));
  EXPECT_STREQ(small, "");
}

TEST(ParamsUrl, CodeAppendedUnchangedWithin256Characters) {
  char out[kParamsUrlCapacity];
  ASSERT_TRUE(BuildParamsUrl(out, sizeof out, "127.0.0.1:28081", "abc"));
  EXPECT_STREQ(out, "http://127.0.0.1:28081/status/azservice.ashx?op=getparams&code=abc");
  ASSERT_TRUE(BuildParamsUrl(out, sizeof out, "h", "a b&c"));
  EXPECT_STREQ(out, "http://h/status/azservice.ashx?op=getparams&code=a b&c");

  // "http://h/status/azservice.ashx?op=getparams&code=" is 49 characters.
  std::string code(256 - 49, 'c');
  ASSERT_TRUE(BuildParamsUrl(out, sizeof out, "h", code.c_str()));
  EXPECT_EQ(strlen(out), 256u);
  code += 'c';
  EXPECT_FALSE(BuildParamsUrl(out, sizeof out, "h", code.c_str()));
  EXPECT_STREQ(out, "");
}

TEST(ShortcutName, ReadAtFixedOffsets) {
  struct Case {
    const char* name;
    std::string reply;
    ShortcutNameResult result;
    const char* expected;
  } cases[] = {
      {"tag and name", "0123456789SHORTCUT=Brevane Tenant\r\nX=1", kShortcutNameTaken, "Brevane Tenant"},
      {"lower-case tag", "0123456789shortcut=Mine\r\n", kShortcutNameTaken, "Mine"},
      {"any separator", "0123456789ShortCut:Sep", kShortcutNameTaken, "Sep"},
      {"no CR: rest of reply", "0123456789SHORTCUT=Rest\nof it", kShortcutNameTaken, "Rest\nof it"},
      {"zero byte ends it", std::string("0123456789SHORTCUT=Ab\0cd", 24), kShortcutNameTaken, "Ab"},
      {"18 bytes", "0123456789SHORTCUT", kNoShortcutName, nullptr},
      {"19 bytes, empty name", "0123456789SHORTCUT=", kShortcutNameEmpty, nullptr},
      {"CR at once", "0123456789SHORTCUT=\r\nX", kShortcutNameEmpty, nullptr},
      {"other tag", "0123456789SHORTCUX=Name", kNoShortcutName, nullptr},
      {"tag elsewhere", "SHORTCUT=Name and more text", kNoShortcutName, nullptr},
      {"empty", "", kNoShortcutName, nullptr},
  };
  for (const Case& c : cases) {
    char name[kDisplayNameCapacity];
    memset(name, '#', sizeof name);
    ShortcutNameResult r =
        ReadShortcutName(c.reply.data(), static_cast<int32_t>(c.reply.size()), name, sizeof name);
    EXPECT_EQ(r, c.result) << c.name;
    if (c.expected != nullptr) {
      EXPECT_STREQ(name, c.expected) << c.name;
    } else {
      EXPECT_EQ(name[0], '#') << c.name << ": name written";
    }
  }
}

TEST(ShortcutName, LongNameCutTo63Characters) {
  std::string reply = "0123456789SHORTCUT=" + std::string(70, 'N') + "\r\n";
  char name[kDisplayNameCapacity];
  EXPECT_EQ(ReadShortcutName(reply.data(), static_cast<int32_t>(reply.size()), name, sizeof name),
            kShortcutNameCut);
  EXPECT_EQ(std::string(name), std::string(63, 'N'));

  reply = "0123456789SHORTCUT=" + std::string(63, 'N');
  EXPECT_EQ(ReadShortcutName(reply.data(), static_cast<int32_t>(reply.size()), name, sizeof name),
            kShortcutNameTaken);
  EXPECT_EQ(strlen(name), 63u);
}

TEST(ShortcutName, NeverReadsPastTheBytesGiven) {
  // The reply sits at the very end of an exact-size buffer, so a read past
  // its length is caught by the sanitizers.
  std::string text = "0123456789SHORTCUT=Edge";
  std::vector<char> reply(text.begin(), text.end());
  char name[kDisplayNameCapacity];
  EXPECT_EQ(ReadShortcutName(reply.data(), static_cast<int32_t>(reply.size()), name, sizeof name),
            kShortcutNameTaken);
  EXPECT_STREQ(name, "Edge");
  EXPECT_EQ(ReadShortcutName(reply.data(), 12, name, sizeof name), kNoShortcutName);
}

TEST(RecordedLink, OnlyFullPathsOfShortcuts) {
  struct Case {
    const char* line;
    bool deletable;
  } cases[] = {
      {"C:\\Users\\Public\\Desktop\\Brevane Client.lnk", true},
      {"c:\\x.LNK", true},
      {"\\\\server\\share\\x.Lnk", true},
      {"", false},
      {"a", false},
      {"lnk", false},
      {".lnk", false},
      {"x.lnk", false},
      {"Desktop\\x.lnk", false},
      {"C:\\Windows\\system32\\kernel32.dll", false},
      {"C:\\Brevane\\Client\\", false},
      {"C:\\x.lnk.exe", false},
      {"C:\\x.lnk ", false},
      {"1:\\x.lnk", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsRecordedLink(c.line), c.deletable) << c.line;
}

TEST(RelaunchCommand, QuotesProgramAndWholeUninstallArgument) {
  char out[kPathCapacity];
  ASSERT_TRUE(BuildRelaunchCommand(out, sizeof out, "C:\\users\\root\\Temp\\Pellinor.exe",
                                   "C:\\Program Files\\Brevane Client"));
  EXPECT_STREQ(out,
               "\"C:\\users\\root\\Temp\\Pellinor.exe\" \"uninstall:C:\\Program Files\\Brevane Client\"");

  // 259 characters fit, 260 do not; the quotes, blank and keyword are 15.
  std::string copy = "C:\\T\\Pellinor.exe";  // 17
  std::string folder = "C:\\" + std::string(259 - 15 - 17 - 3, 'f');
  ASSERT_TRUE(BuildRelaunchCommand(out, sizeof out, copy.c_str(), folder.c_str()));
  EXPECT_EQ(strlen(out), 259u);
  folder += 'f';
  EXPECT_FALSE(BuildRelaunchCommand(out, sizeof out, copy.c_str(), folder.c_str()));
  EXPECT_STREQ(out, "");

  EXPECT_FALSE(BuildRelaunchCommand(out, sizeof out, copy.c_str(), "C:\\a\"b"));
}

TEST(RelaunchCommand, TokenizerHandsTheFolderOverWhole) {
  const char* folders[] = {"C:\\Program Files\\Brevane Client", "C:\\X", "C:\\a  b\\c\td",
                           "Z:\\tmp\\p e\\Brevane"};
  for (const char* folder : folders) {
    char command[kPathCapacity];
    ASSERT_TRUE(BuildRelaunchCommand(command, sizeof command, "C:\\users\\root\\Temp\\Pellinor.exe", folder));
    ResetInstallSettings();
    EXPECT_EQ(TokenizeText(command), 2) << command;
    EXPECT_STREQ(ArgTable[0], "C:\\users\\root\\Temp\\Pellinor.exe");
    EXPECT_TRUE(InstallSettings.UninstallRequested);
    EXPECT_STREQ(InstallSettings.InstallDir, folder);
  }
  ResetInstallSettings();
}
