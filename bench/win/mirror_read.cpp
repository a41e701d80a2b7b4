// The installer's own HTTP reader (TIStream) and inflater (InflateStream)
// over a list of mirror object URLs, without the install around them, so
// that bench/mirror_bench.sh can tell how much of an install's time each
// layer takes under Wine:
//
//   mirror_read read    WORKERS LIST   bodies read in 32 KiB steps, dropped
//   mirror_read inflate WORKERS LIST   bodies inflated, the output dropped
//   mirror_read files   WORKERS LIST OUT
//                                      bodies inflated into files in the
//                                      folder OUT as the installer stages
//                                      them: created on the first bytes,
//                                      written and hashed (SHA-256) step by
//                                      step, flushed, given the stamp of the
//                                      object's name, closed
//
// LIST holds one URL a line. WORKERS threads take the next URL in turn, as
// the installer's workers take the next item. Prints "objects N in B out B
// seconds S", S from the first worker's start to the last one's end (Wine's
// process start-up left out), and exits 1 when any object could not be read
// or inflated whole. The files mode prints a second line: the seconds spent in
// each file stage (create, write, hash, flush, stamp, close), summed over the
// workers.
#include <windows.h>

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tinylib/sha256.h"
#include "tinylib/simple_file.h"
#include "tinylib/streams.h"
#include "tinylib/tinyzip.h"
#include "transfer/istream.h"

namespace {

enum { kMaxUrls = 8192, kUrlCapacity = 1024, kMaxWorkers = 64, kStep = 0x8000 };

char Urls[kMaxUrls][kUrlCapacity];
int UrlCount = 0;
bool InflateMode = false;
const char* FilesFolder = nullptr;  // the files mode's output folder
std::atomic<int> NextUrl{0};
std::atomic<long long> BytesIn{0};
std::atomic<long long> BytesOut{0};
std::atomic<int> Failures{0};

// Counts what the inflater hands over and keeps none of it.
class TDropSink : public TBaseStream {
 public:
  int32_t Write(void* buffer, int32_t count) override {
    (void)buffer;
    BytesOut += count;
    return count;
  }
};

// Counts what the inflater reads from the HTTP stream.
class TCountingSource : public TBaseStream {
 public:
  explicit TCountingSource(TIStream& inner) : Inner(inner) {}
  int32_t Read(void* buffer, int32_t count) override {
    int32_t got = Inner.Read(buffer, count);
    if (got > 0) BytesIn += got;
    return got;
  }
  int32_t Seek(int32_t distance, uint8_t origin) override { return Inner.Seek(distance, origin); }

 private:
  TIStream& Inner;
};

enum FileStage { kCreate, kWrite, kHash, kFlush, kStamp, kClose, kFileStages };
const char* const kFileStageNames[kFileStages] = {"create", "write", "hash",
                                                  "flush",  "stamp", "close"};
std::atomic<long long> StageTicks[kFileStages];

// Adds the time from construction to destruction to one file stage.
class StageTimer {
 public:
  explicit StageTimer(FileStage stage) : stage_(stage) { QueryPerformanceCounter(&start_); }
  ~StageTimer() {
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    StageTicks[stage_] += end.QuadPart - start_.QuadPart;
  }

 private:
  FileStage stage_;
  LARGE_INTEGER start_;
};

// The inflater's output into one file, as the installer's output stream takes
// it: the file made on the first Write, each step written, then hashed.
class TFileSink : public TBaseStream {
 public:
  explicit TFileSink(const char* path) : path_(path), file_(nullptr) {}
  ~TFileSink() override {
    StageTimer timer(kClose);
    delete file_;
  }
  int32_t Write(void* buffer, int32_t count) override {
    if (file_ == nullptr) {
      StageTimer timer(kCreate);
      file_ = new TSimpleFile(CreateOutputFile(path_));
      if (!file_->IsOpen() || !hash_.Begin()) return -1;
    }
    int32_t written;
    {
      StageTimer timer(kWrite);
      written = file_->Write(buffer, count);
    }
    StageTimer timer(kHash);
    if (written > 0 && !hash_.Update(buffer, written)) return -1;
    BytesOut += written;
    return written;
  }
  // Digest, flush and stamp, as the installer seals a staged file.
  bool Seal(uint32_t stamp) {
    if (file_ == nullptr) return false;
    uint8_t digest[kSha256Length];
    {
      StageTimer timer(kHash);
      if (!hash_.Finish(digest)) return false;
    }
    {
      StageTimer timer(kFlush);
      if (!FlushFileBuffers(static_cast<HANDLE>(file_->Handle()))) return false;
    }
    StageTimer timer(kStamp);
    return SetFileStamp(file_->Handle(), stamp) == 0;
  }

 private:
  const char* path_;
  TSimpleFile* file_;
  Sha256 hash_;
};

// The object's file in the output folder: its name after the last slash,
// whose leading number is its stamp (mirror objects are STAMP_SIZE_NAME).
bool FileFor(const char* url, char* path, size_t capacity, uint32_t* stamp) {
  const char* name = strrchr(url, '/');
  name = name == nullptr ? url : name + 1;
  *stamp = static_cast<uint32_t>(strtoul(name, nullptr, 10));
  int n = snprintf(path, capacity, "%s\\%s", FilesFolder, name);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

bool FetchOne(const char* url) {
  TIStream source(url);
  if (!source.IsOpen()) return false;
  if (FilesFolder != nullptr) {
    char path[MAX_PATH];
    uint32_t stamp;
    if (!FileFor(url, path, sizeof path, &stamp)) return false;
    TCountingSource counted(source);
    TFileSink sink(path);
    return InflateStream(counted, sink) > 0 && sink.Seal(stamp);
  }
  if (InflateMode) {
    TCountingSource counted(source);
    TDropSink sink;
    return InflateStream(counted, sink) > 0;
  }
  static thread_local char buffer[kStep];
  long long total = 0;
  for (;;) {
    int32_t got = source.Read(buffer, kStep);
    if (got <= 0) break;
    total += got;
  }
  BytesIn += total;
  return total > 0;
}

DWORD WINAPI Worker(void*) {
  for (;;) {
    int i = NextUrl++;
    if (i >= UrlCount) return 0;
    if (!FetchOne(Urls[i])) {
      fprintf(stderr, "mirror_read: %s failed\n", Urls[i]);
      ++Failures;
    }
  }
}

bool LoadList(const char* path) {
  FILE* list = fopen(path, "r");
  if (list == nullptr) return false;
  char line[kUrlCapacity];
  while (fgets(line, sizeof line, list) != nullptr) {
    size_t n = strcspn(line, "\r\n");
    if (n == 0) continue;
    if (UrlCount == kMaxUrls || n >= kUrlCapacity - 1) {
      fclose(list);
      return false;
    }
    memcpy(Urls[UrlCount], line, n);
    Urls[UrlCount][n] = '\0';
    ++UrlCount;
  }
  fclose(list);
  return UrlCount > 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool files = argc == 5 && strcmp(argv[1], "files") == 0;
  int workers = argc == 4 || files ? atoi(argv[2]) : 0;
  if (!(files || (argc == 4 && (strcmp(argv[1], "read") == 0 || strcmp(argv[1], "inflate") == 0))) ||
      workers < 1 || workers > kMaxWorkers) {
    fprintf(stderr, "usage: mirror_read read|inflate WORKERS LIST, mirror_read files WORKERS LIST OUT\n");
    return 2;
  }
  InflateMode = strcmp(argv[1], "inflate") == 0;
  if (files) FilesFolder = argv[4];
  if (!LoadList(argv[3])) {
    fprintf(stderr, "mirror_read: cannot read a URL list from %s\n", argv[3]);
    return 2;
  }
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  HANDLE threads[kMaxWorkers];
  int started = 0;
  for (int w = 0; w < workers; ++w) {
    threads[started] = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    if (threads[started] == nullptr) {
      fprintf(stderr, "mirror_read: cannot start worker %d\n", w);
      ++Failures;
      break;
    }
    ++started;
  }
  if (started > 0) WaitForMultipleObjects(started, threads, TRUE, INFINITE);
  QueryPerformanceCounter(&end);
  for (int w = 0; w < started; ++w) CloseHandle(threads[w]);
  printf("objects %d in %lld out %lld seconds %.3f\n", UrlCount, BytesIn.load(), BytesOut.load(),
         static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart));
  if (files) {
    for (int s = 0; s < kFileStages; ++s)
      printf("%s %.3f ", kFileStageNames[s],
             static_cast<double>(StageTicks[s].load()) / static_cast<double>(frequency.QuadPart));
    printf("\n");
  }
  return Failures == 0 && started == workers ? 0 : 1;
}
