// TextBuilder: builds a text piece by piece in a fixed array. Whatever does not
// fit is cut, never written past the array; the builder remembers the cut,
// so that a caller checks once at its end.
#pragma once

#include <stddef.h>
#include <stdint.h>

class TextBuilder {
 public:
  // capacity counts the terminator; the text starts empty.
  TextBuilder(char* buffer, size_t capacity);
  TextBuilder& Text(const char* text);  // null adds nothing
  TextBuilder& Char(char c);
  TextBuilder& Number(int64_t value);   // decimal, '-' before a negative one
  // True when some piece did not fit whole.
  bool Cut() const { return cut_; }
  // For texts that must not be used cut: empties a cut text. True when whole.
  bool Finish();

 private:
  char* buffer_;
  size_t capacity_;
  size_t used_;
  bool cut_;
};
