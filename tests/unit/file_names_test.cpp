// Name rules shared by the installer and the publisher.
#include "tinylib/file_names.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(IsReservedDeviceName, TheWidestAnswerOfAnyWindowsVersion) {
  struct Case {
    const char* part;
    bool reserved;
  } cases[] = {
      {"CON", true}, {"con", true}, {"Prn", true}, {"aux.txt", true}, {"NUL .x", true},
      {"CONIN$", true}, {"conout$.log", true}, {"COM1", true}, {"lpt9", true},
      // Refused by some versions only: refused here.
      {"COM0", true}, {"LPT0.dll", true}, {"COM\xB9", true}, {"lpt\xB2.x", true},
      {"Com\xB3", true},
      {"CONSOLE", false}, {"COM10", false}, {"COM", false}, {"LPT\xB4", false},
      {"COMA", false}, {"xCON", false}, {"", false}, {".CON", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsReservedDeviceName(c.part, static_cast<int>(strlen(c.part))), c.reserved)
        << c.part;
  // Only the first length characters count.
  EXPECT_TRUE(IsReservedDeviceName("AUX\\rest", 3));
  EXPECT_FALSE(IsReservedDeviceName("COM1", 3));
}

TEST(IsSafeRelativeName, RefusesEverythingThatLeavesTheFolder) {
  const char* const hostile[] = {
      "", "C:\\x", "c:x", "\\x", "/x", "\\\\server\\share\\x", "a\\..\\..\\x", "../x",
      "a/../b", "..", "a\\..", "a\\..\\", "x:y", "bin\\app.dll:stream", "...", ". .",
      "a\\...\\b", "a\\.. \\b", "a\\.\\b", "a\\\\b", "a\\", "bin\\app\x01.dll", "\tx",
      "a\x7F", "a\nb", "a|b", "a*", "a?", "a<b", "a\"b", "CON", "con.txt", "bin\\aux",
      "COM1.dll", "lpt9", "nul .txt", "CONOUT$"};
  for (const char* name : hostile) EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  EXPECT_FALSE(IsSafeRelativeName(nullptr));

  const char* const good[] = {"bin\\app.dll", "a..b", "..x", "x..", "files.ver",
                              "bin/sub/x.dll", "console.txt", "COM10", "com", "lpt",
                              "a b\\c d.txt", "\xE9t\xE9\\caf\xE9.txt", ".config"};
  for (const char* name : good) EXPECT_TRUE(IsSafeRelativeName(name)) << name;
}
