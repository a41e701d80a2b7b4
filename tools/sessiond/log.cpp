// The session host's log.
#include "tools/sessiond/log.h"

#include <errno.h>
#include <string.h>
#include <time.h>

namespace sessiond {

Logger::~Logger() {
  if (file_ != nullptr && file_ != stderr) fclose(file_);
}

bool Logger::Open(const std::string& path, bool quiet, std::string* error) {
  quiet_ = quiet;
  path_ = path;
  if (path.empty()) {
    file_ = stderr;
    return true;
  }
  file_ = fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool Logger::Reopen(std::string* error) {
  if (path_.empty()) return true;
  FILE* file = fopen(path_.c_str(), "a");
  if (file == nullptr) {
    *error = path_ + ": " + strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  fclose(file_);
  file_ = file;
  return true;
}

void Logger::Request(const char* format, ...) {
  if (quiet_) return;
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

void Logger::Notice(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

void Logger::Write(const char* format, va_list args) {
  char line[2048];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  size_t used = strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%SZ ", &utc);
  int written = vsnprintf(line + used, sizeof line - used, format, args);
  if (written < 0) return;
  size_t length = used + static_cast<size_t>(written);
  if (length > sizeof line - 2) length = sizeof line - 2;  // cut, still one line
  line[length++] = '\n';
  std::lock_guard<std::mutex> hold(mutex_);
  fwrite(line, 1, length, file_);
  fflush(file_);
}

bool LogThrottle::Due(uint64_t* count) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t seconds = now.tv_sec + 1;  // never 0
  std::lock_guard<std::mutex> hold(mutex_);
  count_++;
  if (last_ != 0 && seconds - last_ < interval_) return false;
  last_ = seconds;
  *count = count_;
  count_ = 0;
  return true;
}

std::string Printable(const char* text, size_t length) {
  std::string out = "\"";
  for (size_t i = 0; i < length && i < 300; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '"') {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (length > 300) out += "...";
  return out + "\"";
}

}  // namespace sessiond
