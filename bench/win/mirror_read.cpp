// The installer's own HTTP reader (TIStream) and inflater (InflateStream)
// over a list of mirror object URLs, without the install around them, so
// that bench/mirror_bench.sh can tell how much of an install's time each
// layer takes under Wine:
//
//   mirror_read read    WORKERS LIST   bodies read in 32 KiB steps, dropped
//   mirror_read inflate WORKERS LIST   bodies inflated, the output dropped
//
// LIST holds one URL a line. WORKERS threads take the next URL in turn, as
// the installer's workers take the next item. Prints "objects N in B out B
// seconds S", S from the first worker's start to the last one's end (Wine's
// process start-up left out), and exits 1 when any object could not be read
// or inflated whole.
#include <windows.h>

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tinylib/streams.h"
#include "tinylib/tinyzip.h"
#include "transfer/istream.h"

namespace {

enum { kMaxUrls = 8192, kUrlCapacity = 1024, kMaxWorkers = 64, kStep = 0x8000 };

char Urls[kMaxUrls][kUrlCapacity];
int UrlCount = 0;
bool InflateMode = false;
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

bool FetchOne(const char* url) {
  TIStream source(url);
  if (!source.IsOpen()) return false;
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
  int workers = argc == 4 ? atoi(argv[2]) : 0;
  if (argc != 4 || (strcmp(argv[1], "read") != 0 && strcmp(argv[1], "inflate") != 0) ||
      workers < 1 || workers > kMaxWorkers) {
    fprintf(stderr, "usage: mirror_read read|inflate WORKERS LIST\n");
    return 2;
  }
  InflateMode = strcmp(argv[1], "inflate") == 0;
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
  return Failures == 0 && started == workers ? 0 : 1;
}
