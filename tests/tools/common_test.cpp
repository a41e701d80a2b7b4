// The helpers both server tools share: the command line, temporary files and
// path containment.
#include "tools/common/options.h"
#include "tools/common/paths.h"
#include "tools/common/temp_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using tools::OptionStep;

enum { kName, kFlag };
const tools::OptionDef kSpecs[] = {{"name", true, kName}, {"flag", false, kFlag}};

struct Seen {
  std::vector<std::string> events;  // "name=VALUE" or "flag"
};

OptionStep Record(void* context, int id, const char* value, std::string*) {
  auto* seen = static_cast<Seen*>(context);
  seen->events.push_back(id == kName ? std::string("name=") + value : "flag");
  return OptionStep::Next;
}

struct Outcome {
  OptionStep step;
  std::vector<std::string> events, operands;
  std::string error;
};

Outcome Parse(const std::vector<std::string>& args) {
  Outcome outcome;
  Seen seen;
  outcome.step = tools::ParseCommandLine(args, kSpecs, 2, &seen, Record, &outcome.operands,
                                         &outcome.error);
  outcome.events = seen.events;
  return outcome;
}

TEST(CommandLine, ValuesOperandsAndRefusals) {
  using V = std::vector<std::string>;
  struct Case {
    V args;
    OptionStep step;
    V events, operands;
    std::string error;
  } cases[] = {
      {{"--name=a", "--name", "b", "--name="}, OptionStep::Next, {"name=a", "name=b", "name="}, {}, ""},
      // A value is the next argument whatever it looks like.
      {{"--name", "--flag"}, OptionStep::Next, {"name=--flag"}, {}, ""},
      {{"x", "--flag", "y", "--", "--name=z"}, OptionStep::Next, {"flag"}, {"x", "y", "--name=z"}, ""},
      {{"--flag", "--help", "--bogus"}, OptionStep::Help, {"flag"}, {}, ""},
      {{"-h"}, OptionStep::Help, {}, {}, ""},
      // Abbreviations getopt_long would take are refused, as is a value on a flag.
      {{"--nam=a"}, OptionStep::Error, {}, {}, "unknown option --nam"},
      {{"--fl"}, OptionStep::Error, {}, {}, "unknown option --fl"},
      {{"--he"}, OptionStep::Error, {}, {}, "unknown option --he"},
      {{"--flag=1"}, OptionStep::Error, {}, {}, "unknown option --flag"},
      {{"--bogus=1"}, OptionStep::Error, {}, {}, "unknown option --bogus"},
      {{"-x"}, OptionStep::Error, {}, {}, "unknown option -x"},
      {{"x", "--name"}, OptionStep::Error, {}, {}, "--name needs a value"},
  };
  // Twice: each parse starts afresh whatever the one before left behind.
  for (int round = 0; round < 2; round++) {
    for (const Case& c : cases) {
      Outcome got = Parse(c.args);
      std::string label = c.args.empty() ? "" : c.args[0];
      EXPECT_EQ(got.step, c.step) << label;
      EXPECT_EQ(got.events, c.events) << label;
      if (c.step == OptionStep::Next) {
        EXPECT_EQ(got.operands, c.operands) << label;
      }
      EXPECT_EQ(got.error, c.error) << label;
    }
  }
}

TEST(CommandLine, DecimalIsStrictAndBounded) {
  struct Case {
    const char* text;
    bool ok;
    long value;
  } cases[] = {{"0", true, 0},    {"65535", true, 65535}, {"65536", false, 0}, {"", false, 0},
               {"-1", false, 0},  {"+1", false, 0},       {"1x", false, 0},    {" 1", false, 0},
               {"0010", true, 10}, {"9999999999", false, 0}};
  for (const Case& c : cases) {
    long value = -7;
    EXPECT_EQ(tools::ParseDecimal(c.text, 0, 65535, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : -7) << c.text;
  }
}

TEST(TempFile, RemovedUnlessKept) {
  char folder[] = "/tmp/tools-temp-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string dropped, kept;
  {
    tools::TempFile temp;
    int fd = tools::CreateTempIn(folder, ".x.", &temp);
    ASSERT_GE(fd, 0);
    close(fd);
    dropped = temp.path();
    EXPECT_EQ(access(dropped.c_str(), F_OK), 0);
  }
  EXPECT_NE(access(dropped.c_str(), F_OK), 0);
  {
    tools::TempFile temp;
    int fd = tools::CreateTempIn(folder, ".x.", &temp);
    ASSERT_GE(fd, 0);
    close(fd);
    kept = temp.path();
    temp.Keep();
  }
  EXPECT_EQ(access(kept.c_str(), F_OK), 0);
  unlink(kept.c_str());
  rmdir(folder);
}

TEST(Paths, InsideComparesWholeComponents) {
  EXPECT_TRUE(tools::IsInside("/srv/rel/a/b", "/srv/rel"));
  EXPECT_TRUE(tools::IsInside("/srv/rel", "/srv/rel"));
  EXPECT_FALSE(tools::IsInside("/srv/release", "/srv/rel"));
  EXPECT_FALSE(tools::IsInside("/srv", "/srv/rel"));
  EXPECT_EQ(tools::CanonicalPath("/tmp/../tmp/./"), tools::CanonicalPath("/tmp"));
  EXPECT_EQ(tools::CanonicalPath("/no/such/folder/here"), "");
}

}  // namespace
