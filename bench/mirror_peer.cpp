// The mirror benchmark's peer: a native program that installs the objects of
// a mirror the way the installer's mirror path does, so that
// bench/mirror_bench.sh can set the installer against compiled code rather
// than a script.
//
//   mirror_peer [--no-flush] WORKERS LIST OUT SITE...
//
// LIST holds one object a line: "OBJECT NAME SIZE STAMP SHA256" (OBJECT the
// mirror object's path below a site, STAMP the manifest's DOS date and time).
// WORKERS threads take the next object in turn, as the installer's workers
// take the next item; worker w fetches from SITE number w modulo the sites
// given (URL prefixes ending in '/'), each on one kept-alive libcurl
// connection. Per object, as the installer: the body inflated in
// 32 KiB steps as it arrives, the file created in OUT/.staging on its first
// bytes, written, its SHA-256 taken and compared with the listed one, flushed
// to the disk (fsync, as FlushFileBuffers; --no-flush leaves it out), given
// the manifest's time and closed. When every worker is done the staged files
// are renamed into OUT (the installer's commit).
//
// Prints "files N bytes B seconds S" (S from the first worker's start to the
// end of the commit) and, on a second line, the seconds summed over the
// workers in each stage: fetch (HTTP and inflate), create, write, hash, flush,
// stamp, and the commit's wall time. Exits 1 when any object is not installed
// whole with its listed hash.
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Object {
  std::string path, name;
  long long size = 0;
  unsigned stamp = 0;
  std::string sha256;
};

enum Stage { kFetch, kCreate, kWrite, kHash, kFlush, kStamp, kStages };
const char* const kStageNames[kStages] = {"fetch", "create", "write", "hash", "flush", "stamp"};

std::vector<Object> Objects;
std::string OutDir;
std::vector<std::string> Sites;
bool Flush = true;
std::atomic<size_t> NextObject{0};
std::atomic<int> Failures{0};
std::atomic<long long> BytesOut{0};
std::atomic<long long> StageNanos[kStages];
// This worker's own stage totals, added to StageNanos when it ends.
thread_local long long WorkerNanos[kStages];

long long NanosSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Adds the time from construction to destruction to one stage's total.
class StageTimer {
 public:
  explicit StageTimer(Stage stage) : stage_(stage), start_(Clock::now()) {}
  ~StageTimer() { WorkerNanos[stage_] += NanosSince(start_); }

 private:
  Stage stage_;
  Clock::time_point start_;
};

// The manifest's DOS date and time as seconds since the epoch (taken as UTC).
time_t DosStampTime(unsigned stamp) {
  struct tm t = {};
  t.tm_year = static_cast<int>((stamp >> 25) & 0x7F) + 80;
  t.tm_mon = static_cast<int>((stamp >> 21) & 0x0F) - 1;
  t.tm_mday = static_cast<int>((stamp >> 16) & 0x1F);
  t.tm_hour = static_cast<int>((stamp >> 11) & 0x1F);
  t.tm_min = static_cast<int>((stamp >> 5) & 0x3F);
  t.tm_sec = static_cast<int>(stamp & 0x1F) * 2;
  return timegm(&t);
}

std::string Hex(const unsigned char* bytes, unsigned length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < length; i++) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Creates the folders above a path below OUT (each at most once per call).
bool MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', OutDir.size() + 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string StagedPath(const Object& object) { return OutDir + "/.staging/" + object.name; }

// One object on its way from the HTTP body to its staged file.
class Receiver {
 public:
  explicit Receiver(const Object& object) : object_(object) {
    memset(&z_, 0, sizeof z_);
    inflating_ = inflateInit(&z_) == Z_OK;
    hash_ = EVP_MD_CTX_new();
    hashing_ = hash_ != nullptr && EVP_DigestInit_ex(hash_, EVP_sha256(), nullptr) == 1;
  }
  ~Receiver() {
    if (inflating_) inflateEnd(&z_);
    if (fd_ >= 0) close(fd_);
    EVP_MD_CTX_free(hash_);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Inflates one piece of the body into the file; false stops the transfer.
  bool Take(const char* data, size_t length) {
    if (!inflating_ || !hashing_ || ended_) return false;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_.avail_in = static_cast<uInt>(length);
    while (z_.avail_in > 0 && !ended_) {
      z_.next_out = output_;
      z_.avail_out = sizeof output_;
      int result = inflate(&z_, Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END) return false;
      ended_ = result == Z_STREAM_END;
      size_t produced = sizeof output_ - z_.avail_out;
      if (!Store(output_, produced)) return false;
    }
    return true;
  }

  // Checks, flushes, stamps and closes the staged file.
  bool Finish() {
    if (!ended_ || written_ != object_.size) return false;
    if (fd_ < 0 && !Create()) return false;  // an empty file
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    {
      StageTimer timer(kHash);
      if (EVP_DigestFinal_ex(hash_, digest, &length) != 1) return false;
    }
    if (Hex(digest, length) != object_.sha256) return false;
    if (Flush) {
      StageTimer timer(kFlush);
      if (fsync(fd_) != 0) return false;
    }
    {
      StageTimer timer(kStamp);
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = DosStampTime(object_.stamp);
      times[0].tv_nsec = times[1].tv_nsec = 0;
      if (futimens(fd_, times) != 0) return false;
    }
    {
      StageTimer timer(kCreate);  // opening and closing are the file system's
      int fd = fd_;
      fd_ = -1;
      if (close(fd) != 0) return false;
    }
    BytesOut += written_;
    return true;
  }

 private:
  bool Create() {
    StageTimer timer(kCreate);
    std::string path = StagedPath(object_);
    if (!MakeParents(path)) return false;
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0;
  }

  bool Store(const unsigned char* bytes, size_t count) {
    if (count == 0) return true;
    if (written_ + static_cast<long long>(count) > object_.size) return false;
    if (fd_ < 0 && !Create()) return false;
    {
      StageTimer timer(kWrite);
      if (write(fd_, bytes, count) != static_cast<ssize_t>(count)) return false;
    }
    {
      StageTimer timer(kHash);
      if (EVP_DigestUpdate(hash_, bytes, count) != 1) return false;
    }
    written_ += static_cast<long long>(count);
    return true;
  }

  const Object& object_;
  z_stream z_;
  bool inflating_ = false;
  bool hashing_ = false;
  bool ended_ = false;
  EVP_MD_CTX* hash_ = nullptr;
  int fd_ = -1;
  long long written_ = 0;
  unsigned char output_[32768];
};

size_t TakeBody(char* data, size_t size, size_t count, void* receiver) {
  return static_cast<Receiver*>(receiver)->Take(data, size * count) ? size * count : 0;
}

// One libcurl handle per worker, so that its connection is kept alive.
class CurlHandle {
 public:
  CurlHandle() : handle_(curl_easy_init()) {}
  ~CurlHandle() { curl_easy_cleanup(handle_); }
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;
  CURL* get() const { return handle_; }

 private:
  CURL* handle_;
};

void Worker(int number) {
  const std::string& site = Sites[static_cast<size_t>(number) % Sites.size()];
  CurlHandle curl;
  if (curl.get() == nullptr) {
    Failures++;
    return;
  }
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, TakeBody);
  curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
  for (size_t i = NextObject++; i < Objects.size(); i = NextObject++) {
    const Object& object = Objects[i];
    Receiver receiver(object);
    std::string url = site + object.path;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &receiver);
    // Fetch (HTTP and inflate) is the object's time less its file stages.
    long long fileBefore = 0, fileAfter = 0;
    for (int s = kCreate; s < kStages; s++) fileBefore += WorkerNanos[s];
    Clock::time_point start = Clock::now();
    CURLcode result = curl_easy_perform(curl.get());
    bool ok = result == CURLE_OK && receiver.Finish();
    long long spent = NanosSince(start);
    for (int s = kCreate; s < kStages; s++) fileAfter += WorkerNanos[s];
    WorkerNanos[kFetch] += spent - (fileAfter - fileBefore);
    if (!ok) {
      fprintf(stderr, "mirror_peer: %s not installed (%s)\n", object.name.c_str(),
              result == CURLE_OK ? "bad data, size or hash" : curl_easy_strerror(result));
      Failures++;
    }
  }
  for (int s = 0; s < kStages; s++) StageNanos[s] += WorkerNanos[s];
}

bool ReadList(const char* path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Object object;
    if (!(fields >> object.path >> object.name >> object.size >> object.stamp >> object.sha256))
      return false;
    Objects.push_back(object);
  }
  return !Objects.empty();
}

// Renames every staged file into place, then removes the staging folders.
bool Commit() {
  for (const Object& object : Objects) {
    std::string target = OutDir + "/" + object.name;
    if (!MakeParents(target) || rename(StagedPath(object).c_str(), target.c_str()) != 0) return false;
  }
  std::error_code error;
  std::filesystem::remove_all(OutDir + "/.staging", error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--no-flush") == 0) {
    Flush = false;
    first = 2;
  }
  if (argc - first < 4) {
    fprintf(stderr, "usage: mirror_peer [--no-flush] WORKERS LIST OUT SITE...\n");
    return 2;
  }
  int workers = atoi(argv[first]);
  OutDir = argv[first + 2];
  Sites.assign(argv + first + 3, argv + argc);
  if (workers < 1 || workers > 64 || !ReadList(argv[first + 1])) {
    fprintf(stderr, "mirror_peer: bad worker count or list\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  mkdir(OutDir.c_str(), 0755);
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < workers; i++) threads.emplace_back(Worker, i);
  for (std::thread& t : threads) t.join();
  Clock::time_point committing = Clock::now();
  bool committed = Failures == 0 && Commit();
  double seconds = NanosSince(start) / 1e9;
  double commit = NanosSince(committing) / 1e9;
  curl_global_cleanup();
  printf("files %zu bytes %lld seconds %.3f\n", Objects.size(), BytesOut.load(), seconds);
  for (int s = 0; s < kStages; s++) printf("%s %.3f ", kStageNames[s], StageNanos[s] / 1e9);
  printf("commit %.3f\n", commit);
  return committed ? 0 : 1;
}
