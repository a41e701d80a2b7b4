// brevane-publish: the manifest bytes, the refusals, and the mirror objects,
// on real temporary trees with known modification times.
#include "tools/publish/publish.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// 2012-03-15 10:20:30 UTC, the DOS stamp 1081037455.
const int64_t kMarch2012 = 1331806830;
const uint32_t kMarch2012Stamp = 1081037455u;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Inflate(const std::string& data) {
  std::string out;
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  char buffer[4096];
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);
  inflateEnd(&z);
  return out;
}

class PublishTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/publish-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    source_ = root_ / "release";
    mirror_ = root_ / "mirror";
    fs::create_directories(source_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void Put(const std::string& relative, const std::string& content, int64_t mtime = kMarch2012) {
    fs::path path = source_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    SetTime(path, mtime);
  }
  static void SetTime(const fs::path& path, int64_t mtime) {
    struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  int Run(std::vector<std::string> args, publish::Report* report) {
    publish::Options options;
    std::string error;
    args.push_back(source_.string());
    EXPECT_EQ(publish::ParseOptions(args, &options, &error), publish::OptionsResult::Run) << error;
    return publish::Publish(options, report);
  }

  std::string AllErrors(const publish::Report& report) {
    std::string all;
    for (const auto& e : report.errors) all += e + "\n";
    return all;
  }

  fs::path root_, source_, mirror_;
};

}  // namespace

TEST(PublishStamp, DosDateOfUtcTime) {
  struct Case { int64_t seconds; bool ok; uint32_t stamp; } cases[] = {
      {kMarch2012, true, kMarch2012Stamp},
      {kMarch2012 + 1, true, kMarch2012Stamp},  // two-second steps round down
      {315532800, true, 0x00210000u},            // 1980-01-01 00:00:00
      {315532799, false, 0},                     // 1979
      {0, false, 0},
      {4354819199, true, 0xFF9FBF7Du},           // 2107-12-31 23:59:58
      {4354819200, false, 0},                    // 2108
  };
  for (const auto& c : cases) {
    uint32_t stamp = 0;
    EXPECT_EQ(publish::DosStampOfTime(c.seconds, &stamp), c.ok) << c.seconds;
    if (c.ok) {
      EXPECT_EQ(stamp, c.stamp) << c.seconds;
    }
  }
}

TEST(PublishNames, RefusesWhatWindowsCannotHold) {
  const std::string name63 = "bin\\" + std::string(59, 'n');
  struct Case { std::string name; bool ok; } cases[] = {
      {"bin\\app.dll", true},     {name63, true},          {name63 + "x", false},
      {"a<b", false},             {"a>b", false},          {"a:b", false},
      {"a\"b", false},            {"a|b", false},          {"a?b", false},
      {"a*b", false},             {"a/b", false},          {"dir.\\x", false},
      {"x ", false},              {"con", false},          {"bin\\LPT1.txt", false},
      {"COM9", false},            {"console.txt", true},   {"a\x01", false},
      {"a\rb", false},            {"caf\xc3\xa9", false},  {"[x", false},
      {"x[y]", true},             {"a=b", false},          {"bin\\\\x", false},
      {"..\\x", false},           {"", false},             {".hidden", true},
      // The installer's own files in the install folder, at the top only.
      {"linkfiles", false},       {"Install.TXT", false},  {"params.cfg", false},
      {"Pellinor.staging\\new\\a.dll", false},         {"LINKFI~1", false},
      {"Pellinor.exe", true},     {"bin\\linkfiles", true},  {"linkfiles.txt", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(publish::NameRefusal(c.name).empty(), c.ok) << c.name;
}

TEST_F(PublishTest, ManifestBytesAreSortedSectionedAndCrLf) {
  Put("bin/app.dll", std::string(1024, 'a'));
  Put("readme.txt", std::string(500, 'r'), kMarch2012 + 1);
  Put("Zeta.txt", "z");
  Put("server/tool.exe", "abc", 315532800);
  Put("extra/a.dat", "", kMarch2012);
  Put("extra/deep/b.dat", "bb", kMarch2012);
  Put("server/extra/c.dat", "c", kMarch2012);
  publish::Report report;
  ASSERT_EQ(Run({"--serveronly", "server", "--ondemand=extra", "--ondemand=server/extra",
                 "--site=http://m1.example/files=3", "--site", "HTTP://M2.EXAMPLE"},
                &report),
            0)
      << AllErrors(report);
  const std::string expected =
      "[CLIENT]\r\n"
      "Zeta.txt=1,1081037455\r\n"
      "bin\\app.dll=1024,1081037455\r\n"
      "readme.txt=500,1081037455\r\n"
      "[SERVERONLY]\r\n"
      "server\\tool.exe=3,2162688\r\n"
      "[ONDEMAND]\r\n"
      "extra\\a.dat=0,1081037455\r\n"
      "extra\\deep\\b.dat=2,1081037455\r\n"
      "server\\extra\\c.dat=1,1081037455\r\n"
      "[SITES]\r\n"
      "http://m1.example/files=3\r\n"
      "HTTP://M2.EXAMPLE\r\n";
  EXPECT_EQ(ReadAll(source_ / "files.ver"), expected);
  EXPECT_EQ(report.files, 7u);
  EXPECT_EQ(report.manifestBytes, expected.size());

  // The manifest in the release folder is not listed on the next run.
  publish::Report again;
  ASSERT_EQ(Run({"--serveronly", "server", "--ondemand=extra", "--ondemand=server/extra",
                 "--site=http://m1.example/files=3", "--site", "HTTP://M2.EXAMPLE"},
                &again),
            0);
  EXPECT_EQ(ReadAll(source_ / "files.ver"), expected);

  // --out puts it elsewhere.
  publish::Report elsewhere;
  ASSERT_EQ(Run({"--out", (root_ / "out").string()}, &elsewhere), 0);
  EXPECT_EQ(ReadAll(root_ / "out" / "files.ver").substr(0, 10), "[CLIENT]\r\n");
}

TEST_F(PublishTest, RefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::string named;  // must appear in the errors
    std::function<void(PublishTest*)> make;
    std::vector<std::string> args;
  } cases[] = {
      {"long name", std::string(64, 'L'),
       [](PublishTest* t) { t->Put(std::string(64, 'L'), "x"); }, {}},
      {"colon", "bad:name", [](PublishTest* t) { t->Put("bad:name", "x"); }, {}},
      {"trailing dot", "dir.\\x", [](PublishTest* t) { t->Put("dir./x", "x"); }, {}},
      {"device", "CON", [](PublishTest* t) { t->Put("CON", "x"); }, {}},
      {"the installer's own file", "linkfiles",
       [](PublishTest* t) { t->Put("ok.txt", "x"); t->Put("linkfiles", "C:\\x.lnk"); }, {}},
      {"backslash in a Linux name", "a\\b", [](PublishTest* t) { t->Put("a\\b", "x"); }, {}},
      {"before 1980", "old.txt", [](PublishTest* t) { t->Put("old.txt", "x", 0); }, {}},
      {"case twins", "A.txt",
       [](PublishTest* t) { t->Put("A.txt", "x"); t->Put("a.txt", "y"); }, {}},
      {"too large", "huge.bin",
       [](PublishTest* t) {
         t->Put("huge.bin", "");
         ASSERT_EQ(truncate((t->source_ / "huge.bin").c_str(), 2147483648LL), 0);
         SetTime(t->source_ / "huge.bin", kMarch2012);
       }, {}},
      {"link leading out", "out.txt",
       [](PublishTest* t) {
         std::ofstream(t->root_ / "outside.txt") << "x";
         fs::create_symlink(t->root_ / "outside.txt", t->source_ / "out.txt");
       }, {}},
      {"fifo", "pipe",
       [](PublishTest* t) { ASSERT_EQ(mkfifo((t->source_ / "pipe").c_str(), 0600), 0); }, {}},
      {"manifest over 100000 bytes", "100000",
       [](PublishTest* t) {
         for (int i = 0; i < 1700; i++)
           t->Put("d/" + std::string(50, 'f') + std::to_string(i), "");
       }, {}},
      {"URL too long for the objects", "ok.txt",
       [](PublishTest* t) { t->Put("ok.txt", "x"); },
       {"--site=http://" + std::string(240, 'h')}},
      {"mirror inside", "mirror",
       [](PublishTest* t) { t->Put("ok.txt", "x"); }, {"--mirror=SOURCE/mirror"}},
      {"missing section folder", "nothere",
       [](PublishTest* t) { t->Put("ok.txt", "x"); }, {"--ondemand=nothere"}},
  };
  for (auto& c : cases) {
    fs::remove_all(source_);
    fs::create_directories(source_);
    c.make(this);
    std::ofstream(source_ / "files.ver", std::ios::binary) << "old";
    for (auto& arg : c.args) {
      size_t at = arg.find("SOURCE");
      if (at != std::string::npos) arg.replace(at, 6, source_.string());
    }
    publish::Report report;
    EXPECT_EQ(Run(c.args, &report), 1) << c.what;
    EXPECT_NE(AllErrors(report).find(c.named), std::string::npos)
        << c.what << ": " << AllErrors(report);
    EXPECT_EQ(ReadAll(source_ / "files.ver"), "old") << c.what;
    int temps = 0;
    for (const auto& entry : fs::directory_iterator(source_))
      if (entry.path().filename().string().rfind(".files.ver.", 0) == 0) temps++;
    EXPECT_EQ(temps, 0) << c.what;
  }
}

TEST_F(PublishTest, MirrorObjectsInflateBackAndAreWrittenOnce) {
  std::string big;
  for (unsigned i = 0; i < 300000; i++) big += static_cast<char>('a' + (i * 7919u) % 26);
  Put("bin/app.dll", std::string(1024, 'a'));
  Put("big.dat", big);
  Put("empty.txt", "");
  Put("old.txt", "from 2008", 1210000000);  // May 2008
  const std::vector<std::pair<std::string, std::string>> objects = {
      {"1203/1081037455_1024_bin_app.dll", std::string(1024, 'a')},
      {"1203/1081037455_300000_big.dat", big},
      {"1203/1081037455_0_empty.txt", ""},
      {"0800/950368468_9_old.txt", "from 2008"},
  };
  publish::Report first;
  ASSERT_EQ(Run({"--mirror", mirror_.string(), "--jobs=3"}, &first), 0) << AllErrors(first);
  EXPECT_EQ(first.objectsWritten, 4u);
  EXPECT_EQ(first.topLinked + first.topCopied, 4u);
  std::vector<struct stat> before;
  for (const auto& [object, content] : objects) {
    SCOPED_TRACE(object);
    std::string data = ReadAll(mirror_ / object);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(Inflate(data), content);
    EXPECT_EQ(ReadAll(mirror_ / fs::path(object).filename()), data);
    struct stat info;
    ASSERT_EQ(stat((mirror_ / object).c_str(), &info), 0);
    before.push_back(info);
  }
  EXPECT_LT(ReadAll(mirror_ / objects[1].first).size(), big.size() / 2);
  int entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(mirror_)) {
    (void)entry;
    entries++;
  }
  EXPECT_EQ(entries, 2 + 8);  // two month folders, each object twice

  publish::Report second;
  ASSERT_EQ(Run({"--mirror", mirror_.string()}, &second), 0);
  EXPECT_EQ(second.objectsWritten, 0u);
  EXPECT_EQ(second.objectsKept, 4u);
  EXPECT_EQ(second.topKept, 4u);
  for (size_t i = 0; i < objects.size(); i++) {
    struct stat info;
    ASSERT_EQ(stat((mirror_ / objects[i].first).c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, before[i].st_ino) << objects[i].first;
    EXPECT_EQ(info.st_mtim.tv_nsec, before[i].st_mtim.tv_nsec);
  }

  // A damaged object is seen only with --verify; a changed file gets a new
  // object under its new name.
  { std::ofstream(mirror_ / objects[0].first, std::ios::binary) << "not a zlib stream"; }
  Put("empty.txt", "now with content", kMarch2012 + 60);
  publish::Report third;
  ASSERT_EQ(Run({"--mirror", mirror_.string(), "--verify"}, &third), 0) << AllErrors(third);
  EXPECT_EQ(third.objectsWritten, 2u);
  EXPECT_EQ(third.objectsKept, 2u);
  EXPECT_EQ(Inflate(ReadAll(mirror_ / objects[0].first)), std::string(1024, 'a'));
  EXPECT_EQ(Inflate(ReadAll(mirror_ / "1081037487_16_empty.txt")), "now with content");
  EXPECT_EQ(Inflate(ReadAll(mirror_ / "1081037455_1024_bin_app.dll")), std::string(1024, 'a'));
}

TEST_F(PublishTest, ProgramExitStatuses) {
  Put("ok.txt", "x");
  auto status = [](const std::string& args) {
    std::string command = std::string(PUBLISH_BINARY) + " " + args + " >/dev/null 2>&1";
    int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  EXPECT_EQ(status("--help"), 0);
  EXPECT_EQ(status("--no-such-option " + source_.string()), 2);
  EXPECT_EQ(status("--site=https://m.example " + source_.string()), 2);
  EXPECT_EQ(status(source_.string()), 0);
  EXPECT_EQ(ReadAll(source_ / "files.ver"), "[CLIENT]\r\nok.txt=1,1081037455\r\n");
  Put("bad|name", "x");
  EXPECT_EQ(status(source_.string()), 1);
  EXPECT_EQ(ReadAll(source_ / "files.ver"), "[CLIENT]\r\nok.txt=1,1081037455\r\n");
}
