// The session host's log: one line per event, stamped in UTC.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <mutex>
#include <string>

namespace sessiond {

// Lines from several threads never mix.
class Logger {
 public:
  Logger() = default;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends to path, or writes to standard error when it is empty.
  bool Open(const std::string& path, bool quiet, std::string* error);
  bool quiet() const { return quiet_; }
  // Opens the log file again (after a rotation moved it away); false, with
  // the old file kept, when it cannot be opened.
  bool Reopen(std::string* error);

  // Requests and connections: left out with --quiet.
  __attribute__((format(printf, 2, 3))) void Request(const char* format, ...);
  // Start, stop and failures: always.
  __attribute__((format(printf, 2, 3))) void Notice(const char* format, ...);

 private:
  void Write(const char* format, va_list args);

  std::mutex mutex_;
  std::string path_;
  FILE* file_ = nullptr;
  bool quiet_ = false;
};

// A condition that may recur thousands of times a second (out of
// descriptors, a per-address cap biting) is logged once per interval, with
// how often it happened since it was last logged.
class LogThrottle {
 public:
  explicit LogThrottle(int intervalSeconds) : interval_(intervalSeconds) {}
  // Counts one occurrence; true when it is time to log, with *count the
  // occurrences since the last line (this one included).
  bool Due(uint64_t* count);

 private:
  std::mutex mutex_;
  const int interval_;
  int64_t last_ = 0;  // monotonic seconds of the last line; 0: never
  uint64_t count_ = 0;
};

// A name from the wire, quoted, with bytes that could forge log lines shown
// as \xNN. Long names are cut: the log is for people.
std::string Printable(const char* text, size_t length);

}  // namespace sessiond
