// The session host's log: one line per event, stamped in UTC.
#pragma once

#include <stdarg.h>
#include <stddef.h>
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

  // Requests and connections: left out with --quiet.
  __attribute__((format(printf, 2, 3))) void Request(const char* format, ...);
  // Start, stop and failures: always.
  __attribute__((format(printf, 2, 3))) void Notice(const char* format, ...);

 private:
  void Write(const char* format, va_list args);

  std::mutex mutex_;
  FILE* file_ = nullptr;
  bool quiet_ = false;
};

// A name from the wire, quoted, with bytes that could forge log lines shown
// as \xNN. Long names are cut: the log is for people.
std::string Printable(const char* text, size_t length);

}  // namespace sessiond
