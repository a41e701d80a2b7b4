// The helpers both server tools share: the command line, temporary files,
// path containment and opening below a folder.
#include "tools/common/beneath.h"
#include "tools/common/options.h"
#include "tools/common/paths.h"
#include "tools/common/temp_file.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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

TEST(OpenBeneath, NoLinkInAnyComponentAndNothingAbove) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/tools-beneath-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path base = pattern, root = base / "root";
  fs::create_directories(root / "a" / "sub");
  std::ofstream(root / "a" / "f") << "inside";
  std::ofstream(root / "a" / "sub" / "g") << "deeper";
  std::ofstream(base / "secret") << "outside";
  fs::create_symlink("a/f", root / "link_file");
  fs::create_directory_symlink("a", root / "link_dir");
  fs::create_directory_symlink("../..", root / "a" / "up");
  fs::create_symlink(base / "secret", root / "a" / "sub" / "out");
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);

  struct Case {
    const char* name;
    int flags;
    const char* expected;  // the file opened, below root; null: refused
    int error;
  } cases[] = {
      {"a/f", O_RDONLY, "a/f", 0},
      {"a//sub/./g", O_RDONLY, "a/sub/g", 0},
      {"a/sub", O_RDONLY | O_DIRECTORY, "a/sub", 0},
      {"link_file", O_RDONLY, nullptr, ELOOP},       // a link to a file inside
      {"link_dir/f", O_RDONLY, nullptr, ELOOP},      // a link as a folder
      {"link_dir", O_RDONLY | O_DIRECTORY, nullptr, ELOOP},
      {"a/up/secret", O_RDONLY, nullptr, ELOOP},     // a link leading above
      {"a/sub/out", O_RDONLY, nullptr, ELOOP},
      {"../secret", O_RDONLY, nullptr, EXDEV},
      {"a/../../secret", O_RDONLY, nullptr, EXDEV},
      {"/etc/passwd", O_RDONLY, nullptr, EXDEV},
      {"a/none", O_RDONLY, nullptr, ENOENT},
      {"a/f/x", O_RDONLY, nullptr, ENOTDIR},
  };
  for (auto open_ : {tools::OpenBeneath, tools::OpenBeneathByWalk}) {
    const char* way = open_ == tools::OpenBeneath ? "openat2" : "walk";
    for (const Case& c : cases) {
      errno = 0;
      int fd = open_(folder, c.name, c.flags);
      if (c.expected == nullptr) {
        EXPECT_LT(fd, 0) << way << " " << c.name;
        EXPECT_EQ(errno, c.error) << way << " " << c.name;
        if (fd >= 0) close(fd);
        continue;
      }
      ASSERT_GE(fd, 0) << way << " " << c.name << ": " << strerror(errno);
      struct stat got, want;
      EXPECT_EQ(fstat(fd, &got), 0);
      ASSERT_EQ(stat((root / c.expected).c_str(), &want), 0);
      EXPECT_EQ(got.st_ino, want.st_ino) << way << " " << c.name;
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << way << " " << c.name;
      close(fd);
    }
  }
  close(folder);
  fs::remove_all(base);
}

}  // namespace
