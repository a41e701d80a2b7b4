// Line splitting for manifests and other small text files.
#include "tinylib/simple_strings.h"

#include <stdint.h>
#include <stdlib.h>

#include "tinylib/diaglog.h"

// Most files fit the first block; a longer manifest doubles it as needed.
static const int32_t kInitialLines = 1024;

static const char kCR = 0x0D;
static const char kLF = 0x0A;

TSimpleStrings::TSimpleStrings(char* buffer, int32_t length)
    : Count(0), Items(nullptr), capacity_(0), truncated_(false) {
  if (length <= 0) return;
  int32_t position = 0;
  while (position < length) {
    if (Count == capacity_ && !Grow()) {
      truncated_ = true;
      DiagLog("lines: out of memory after %d lines; the rest is not listed", Count);
      break;
    }
    Items[Count++] = buffer + position;
    while (position < length && buffer[position] != kCR) position++;
    buffer[position] = 0;  // at length this is the caller's spare byte
    position++;
    // Only bytes of the data are tested for LF, never the spare byte.
    if (position < length && buffer[position] == kLF) position++;
  }
  // Give back the unused tail; if the system cannot, the larger block serves.
  if (Count == 0) {
    free(Items);
    Items = nullptr;
    capacity_ = 0;
  } else if (Count < capacity_) {
    void* shrunk = realloc(Items, static_cast<size_t>(Count) * sizeof(char*));
    if (shrunk != nullptr) {
      Items = static_cast<char**>(shrunk);
      capacity_ = Count;
    }
  }
}

TSimpleStrings::~TSimpleStrings() { free(Items); }

bool TSimpleStrings::Grow() {
  int32_t wanted = kInitialLines;
  // Doubling stops where the count or the byte size would overflow.
  if (capacity_ != 0) {
    if (capacity_ > INT32_MAX / 2) return false;
    wanted = capacity_ * 2;
  }
  if (static_cast<size_t>(wanted) > SIZE_MAX / sizeof(char*)) return false;
  void* grown = realloc(Items, static_cast<size_t>(wanted) * sizeof(char*));
  if (grown == nullptr) return false;
  Items = static_cast<char**>(grown);
  capacity_ = wanted;
  return true;
}
