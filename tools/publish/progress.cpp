// The progress line.
#include "tools/publish/progress.h"

#include <stdio.h>
#include <unistd.h>

#include <chrono>

namespace publish {

namespace {

const auto kRedraw = std::chrono::milliseconds(500);
// The rate of the first moment says little about the rest.
const double kSettleSeconds = 1.0;

std::string Size(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    unit++;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Duration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

std::string ProgressLine(size_t filesDone, size_t files, uint64_t bytesDone, uint64_t bytes,
                         double seconds) {
  // A file read twice (a stale object found late) may count twice.
  if (bytesDone > bytes) bytesDone = bytes;
  std::string line = std::to_string(filesDone) + "/" + std::to_string(files) + " files, " +
                     Size(static_cast<double>(bytesDone)) + " of " +
                     Size(static_cast<double>(bytes));
  if (seconds < kSettleSeconds || bytesDone == 0) return line;
  double rate = static_cast<double>(bytesDone) / seconds;
  line += ", " + Size(rate) + "/s, " +
          Duration(static_cast<double>(bytes - bytesDone) / rate) + " left";
  return line;
}

bool ProgressWanted(bool quiet) { return !quiet && isatty(STDERR_FILENO) == 1; }

Progress::Progress(bool enabled, size_t files, uint64_t bytes)
    : fileTotal_(files), byteTotal_(bytes), start_(std::chrono::steady_clock::now()) {
  if (!enabled) return;
  drawer_ = std::thread([this] {
    std::unique_lock<std::mutex> hold(lock_);
    do Draw(false);
    while (!wake_.wait_for(hold, kRedraw, [this] { return stopping_; }));
  });
}

Progress::~Progress() { Stop(); }

void Progress::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (drawer_.joinable()) {
    drawer_.join();
    Draw(true);
  }
}

void Progress::Draw(bool last) {
  std::string line;
  if (!last) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    line = ProgressLine(files_, fileTotal_, bytes_, byteTotal_, seconds);
  }
  // Blanks over the rest of a longer line drawn before.
  size_t width = line.size();
  if (line.size() < drawnWidth_) line.append(drawnWidth_ - line.size(), ' ');
  fprintf(stderr, "\r%s%s", line.c_str(), last ? "\r" : "");
  fflush(stderr);
  drawnWidth_ = width;
}

}  // namespace publish
