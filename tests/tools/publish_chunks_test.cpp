// brevane-publish: the chunk index beside files.ver and the mirror's chunk
// objects, read back with the installer's parser.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "manifest/chunk_index.h"
#include "manifest/release_key.h"
#include "tools/publish/publish.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Noise(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed | 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

struct IndexRead {
  ChunkIndexHeader header;
  std::map<std::string, std::vector<std::string>> objects;  // file name: its chunk objects
  std::map<std::string, int32_t> sizes;
};

void Collect(void* context, const ChunkIndexFile& file) {
  IndexRead* read = static_cast<IndexRead*>(context);
  std::string name(file.Name, static_cast<size_t>(file.NameLength));
  read->sizes[name] = file.Size;
  for (int32_t i = 0; i < file.ChunkCount; i++) {
    char object[kChunkObjectNameCapacity];
    ChunkObjectName(ChunkIndexChunkId(file, i), object);
    read->objects[name].push_back(object);
  }
}

class PublishChunksTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/publish-chunks-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    source_ = root_ / "release";
    mirror_ = root_ / "mirror";
    fs::create_directories(source_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void Put(const std::string& relative, const std::string& content, int64_t mtime = 1331806830) {
    fs::path path = source_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  int Run(std::vector<std::string> args, publish::Report* report) {
    publish::Options options;
    std::string error;
    args.push_back(source_.string());
    EXPECT_EQ(publish::ParseOptions(args, &options, &error), publish::OptionsResult::Run) << error;
    int status = publish::Publish(options, report);
    for (const auto& e : report->errors) ADD_FAILURE() << e;
    return status;
  }

  IndexRead ReadIndex() {
    std::string bytes = ReadAll(source_ / "files.ver.idx");
    IndexRead read;
    ChunkIndexSink sink = {&read, Collect};
    EXPECT_EQ(ParseChunkIndex(reinterpret_cast<const uint8_t*>(bytes.data()),
                              static_cast<int32_t>(bytes.size()), &read.header, &sink),
              kChunkIndexOk);
    return read;
  }

  // The file as the installer would assemble it from the chunk objects.
  std::string FromChunks(const std::vector<std::string>& objects) {
    std::string out;
    for (const std::string& object : objects) {
      std::string packed = ReadAll(mirror_ / object);
      std::vector<uint8_t> plain(kChunkLargest);
      uLongf length = plain.size();
      EXPECT_EQ(uncompress(plain.data(), &length, reinterpret_cast<const Bytef*>(packed.data()),
                           packed.size()),
                Z_OK)
          << object;
      out.append(reinterpret_cast<const char*>(plain.data()), length);
    }
    return out;
  }

  size_t ChunkObjectsOnDisk() {
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(mirror_ / "chunks"))
      if (entry.is_regular_file() && entry.path().filename().string().size() == 32) count++;
    return count;
  }

  fs::path root_, source_, mirror_;
};

}  // namespace

TEST_F(PublishChunksTest, IndexAndChunkObjectsRebuildEveryFile) {
  const std::string big = Noise(700000, 1);
  std::map<std::string, std::string> files = {
      {"data\\big.bin", big}, {"copy\\moved.bin", big}, {"empty.txt", ""}, {"small.txt", "hello"}};
  for (const auto& [name, content] : files) {
    std::string path = name;
    for (char& c : path) c = c == '\\' ? '/' : c;
    Put(path, content);
  }
  publish::Report first;
  ASSERT_EQ(Run({"--mirror", mirror_.string()}, &first), 0);
  const std::string manifest = ReadAll(source_ / "files.ver");
  IndexRead read = ReadIndex();
  EXPECT_EQ(read.header.FileCount, files.size());
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size(), digest);
  EXPECT_EQ(memcmp(read.header.ManifestDigest, digest, sizeof digest), 0);
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read.sizes[name], static_cast<int32_t>(content.size()));
    EXPECT_EQ(FromChunks(read.objects[name]), content);
  }
  // The moved copy shares every chunk: stored once.
  EXPECT_EQ(read.objects["copy\\moved.bin"], read.objects["data\\big.bin"]);
  EXPECT_EQ(first.chunks.distinct, read.objects["data\\big.bin"].size() + 1);
  EXPECT_EQ(first.chunks.written, first.chunks.distinct);
  EXPECT_EQ(ChunkObjectsOnDisk(), first.chunks.distinct);
  EXPECT_EQ(first.indexBytes, ReadAll(source_ / "files.ver.idx").size());

  // A second run writes nothing and keeps every object as it is.
  const std::string index = ReadAll(source_ / "files.ver.idx");
  publish::Report second;
  ASSERT_EQ(Run({"--mirror", mirror_.string()}, &second), 0);
  EXPECT_EQ(second.chunks.written, 0u);
  EXPECT_EQ(second.chunks.kept, first.chunks.distinct);
  EXPECT_EQ(second.chunks.objectBytes, first.chunks.objectBytes);
  EXPECT_EQ(ReadAll(source_ / "files.ver.idx"), index);
  EXPECT_EQ(ReadAll(source_ / "files.ver"), manifest);  // the index is not a file of the release

  // A broken object is rewritten only when checked.
  const std::string victim = read.objects["small.txt"][0];
  std::ofstream(mirror_ / victim, std::ios::binary) << "not zlib";
  publish::Report verified;
  ASSERT_EQ(Run({"--mirror", mirror_.string(), "--verify"}, &verified), 0);
  EXPECT_EQ(verified.chunks.written, 1u);
  EXPECT_EQ(FromChunks({victim}), "hello");
}

TEST_F(PublishChunksTest, PruneKeepsWhatTheReleaseNeedsAndNothingElseOfItsOwn) {
  std::string big = Noise(600000, 2);
  Put("big.bin", big);
  Put("gone.bin", Noise(100000, 8));
  publish::Report first;
  ASSERT_EQ(Run({"--mirror", mirror_.string()}, &first), 0);
  IndexRead before = ReadIndex();
  const std::vector<std::string> others = {"chunks/readme.txt", "chunks/zz/notes",
                                           "chunks/ab/abcdef", "chunks/00/ff" + std::string(30, '0')};
  for (const std::string& other : others) {
    fs::create_directories((mirror_ / other).parent_path());
    std::ofstream(mirror_ / other) << "keep";
  }
  big[300000] ^= 1;
  Put("big.bin", big, 1331806890);
  fs::remove(source_ / "gone.bin");
  publish::Report pruned;
  ASSERT_EQ(Run({"--mirror", mirror_.string(), "--prune"}, &pruned), 0);
  IndexRead after = ReadIndex();
  EXPECT_EQ(FromChunks(after.objects["big.bin"]), big);
  size_t stale = before.objects["gone.bin"].size();
  for (const std::string& object : before.objects["big.bin"]) {
    bool used = false;
    for (const std::string& now : after.objects["big.bin"]) used = used || now == object;
    EXPECT_EQ(fs::exists(mirror_ / object), used) << object;
    stale += used ? 0 : 1;
  }
  for (const std::string& object : before.objects["gone.bin"])
    EXPECT_FALSE(fs::exists(mirror_ / object)) << object;
  EXPECT_EQ(pruned.chunks.pruned, stale);
  EXPECT_GE(stale, 2u);
  for (const std::string& other : others) EXPECT_EQ(ReadAll(mirror_ / other), "keep") << other;
}

// files.ver.sig keeps its format (earlier installers refuse any added line),
// and files.ver.idx.sig signs the index with the same key and serial.
TEST_F(PublishChunksTest, SignedIndexVerifiesWithTheReleaseKey) {
  publish::KeygenOptions keygen;
  keygen.prefix = (root_ / "release").string();
  std::string privatePath, publicPath, error;
  ASSERT_EQ(publish::MakeKeyPair(keygen, &privatePath, &publicPath, &error), 0) << error;
  Put("app.dll", Noise(50000, 4));
  publish::Report report;
  ASSERT_EQ(Run({"--sign", privatePath, "--serial=5"}, &report), 0);

  std::string pem = ReadAll(publicPath);
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  uint8_t encoded[65];
  size_t length = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", encoded, sizeof encoded, &length), 1);
  EVP_PKEY_free(key);

  auto verdict = [&](const std::string& signed_bytes, const char* sigName, uint32_t* serial) {
    std::string sig = ReadAll(source_ / sigName);
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(signed_bytes.data()), signed_bytes.size(), digest);
    ReleaseSignature accepted{};
    ReleaseVerdict v = CheckReleaseManifest(encoded + 1, sig.data(), static_cast<int32_t>(sig.size()),
                                            digest, time(nullptr), 0, &accepted);
    *serial = accepted.Serial;
    return v;
  };
  const std::string manifest = ReadAll(source_ / "files.ver");
  std::string index = ReadAll(source_ / "files.ver.idx");
  uint32_t manifestSerial = 0;
  EXPECT_EQ(verdict(manifest, "files.ver.sig", &manifestSerial), kReleaseOk);
  EXPECT_EQ(manifestSerial, 5u);

  // The installer's judgement of the index, as a keyed and a keyless build.
  IndexRead read = ReadIndex();
  const std::string sig = ReadAll(source_ / "files.ver.idx.sig");
  uint8_t manifestDigest[SHA256_DIGEST_LENGTH], otherManifest[SHA256_DIGEST_LENGTH] = {};
  SHA256(reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size(), manifestDigest);
  auto judge = [&](const std::string& indexBytes, const uint8_t* key, const char* sigText,
                   const uint8_t* forManifest, uint32_t serial) {
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(indexBytes.data()), indexBytes.size(), digest);
    return JudgeChunkIndex(read.header, forManifest, key, sigText,
                           sigText ? static_cast<int32_t>(sig.size()) : 0, digest, serial,
                           time(nullptr));
  };
  const uint8_t* point = encoded + 1;
  EXPECT_EQ(judge(index, point, sig.c_str(), manifestDigest, 5), kChunkIndexUsable);
  EXPECT_EQ(judge(index, nullptr, nullptr, manifestDigest, 0), kChunkIndexUsable);
  EXPECT_EQ(judge(index, point, nullptr, manifestDigest, 5), kChunkIndexUnsigned);
  EXPECT_EQ(judge(index, point, sig.c_str(), manifestDigest, 6), kChunkIndexOtherSerial);
  EXPECT_EQ(judge(index, nullptr, nullptr, otherManifest, 0), kChunkIndexOtherManifest);
  std::string altered = index;
  altered[altered.size() - 1] ^= 1;
  EXPECT_EQ(judge(altered, point, sig.c_str(), manifestDigest, 5), kChunkIndexBadSignature);
  // files.ver.sig does not sign the index.
  const std::string manifestSig = ReadAll(source_ / "files.ver.sig");
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(index.data()), index.size(), digest);
  EXPECT_EQ(JudgeChunkIndex(read.header, manifestDigest, point, manifestSig.c_str(),
                            static_cast<int32_t>(manifestSig.size()), digest, 5, time(nullptr)),
            kChunkIndexBadSignature);
}

// An unsigned run leaves a signed index of the same bytes be, and drops a
// signature that no longer fits.
TEST_F(PublishChunksTest, UnsignedRunsKeepOnlyAFittingIndexSignature) {
  publish::KeygenOptions keygen;
  keygen.prefix = (root_ / "release").string();
  std::string privatePath, publicPath, error;
  ASSERT_EQ(publish::MakeKeyPair(keygen, &privatePath, &publicPath, &error), 0) << error;
  Put("app.dll", Noise(30000, 6));
  publish::Report signedRun;
  ASSERT_EQ(Run({"--sign", privatePath}, &signedRun), 0);
  const std::string sig = ReadAll(source_ / "files.ver.idx.sig");
  ASSERT_FALSE(sig.empty());
  fs::remove(source_ / "files.ver.sig");  // allows an unsigned run
  publish::Report same;
  ASSERT_EQ(Run({}, &same), 0);
  EXPECT_EQ(ReadAll(source_ / "files.ver.idx.sig"), sig);
  Put("app.dll", Noise(30001, 6), 1331806900);
  publish::Report changed;
  ASSERT_EQ(Run({}, &changed), 0);
  EXPECT_FALSE(fs::exists(source_ / "files.ver.idx.sig"));
  EXPECT_EQ(ReadIndex().sizes["app.dll"], 30001);
}
