// The bounded text builder.
#include "tinylib/text_builder.h"

TextBuilder::TextBuilder(char* buffer, size_t capacity)
    : buffer_(buffer), capacity_(capacity), used_(0), cut_(capacity == 0) {
  if (capacity_ > 0) buffer_[0] = 0;
}

TextBuilder& TextBuilder::Text(const char* text) {
  if (capacity_ == 0 || text == nullptr) return *this;
  while (*text != 0 && used_ + 1 < capacity_) buffer_[used_++] = *text++;
  if (*text != 0) cut_ = true;
  buffer_[used_] = 0;
  return *this;
}

TextBuilder& TextBuilder::Char(char c) {
  char one[2] = {c, 0};
  return Text(one);
}

namespace {

// power / 10 for a power of ten, by 32-bit steps only.
uint64_t NextLowerPower(uint64_t power) {
  uint64_t lower = 1;
  while (lower * 10 < power) lower *= 10;
  return lower;
}

}  // namespace

// Digits by subtracting powers of ten: a 64-bit division would pull in the
// compiler's helper routines, about a kilobyte on the 32-bit target.
TextBuilder& TextBuilder::Number(int64_t value) {
  char text[24];
  int t = 0;
  uint64_t rest = static_cast<uint64_t>(value);
  if (value < 0) {
    text[t++] = '-';
    rest = 0 - rest;
  }
  uint64_t power = 1000000000000000000ull;
  for (int i = 0; i < 18; i++) {  // 10^18 down to 10; the ones follow
    char digit = '0';
    while (rest >= power) {
      rest -= power;
      digit++;
    }
    if (digit != '0' || t > (value < 0 ? 1 : 0)) text[t++] = digit;
    power = NextLowerPower(power);
  }
  text[t++] = static_cast<char>('0' + rest);
  text[t] = 0;
  return Text(text);
}

bool TextBuilder::Finish() {
  if (cut_ && capacity_ > 0) buffer_[0] = 0;
  return !cut_;
}
