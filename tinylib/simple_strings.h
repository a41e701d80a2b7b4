// TSimpleStrings: cuts a text buffer into lines in place and lists them.
//
// Only CR ends a line; one LF directly after a CR belongs to that line end;
// any other LF is an ordinary character. The lines stay in the caller's
// buffer, which must outlive the list.
//
// The buffer needs one spare byte after the length given: a last line without
// a line end is terminated at buffer[length].
#pragma once

#include <stdint.h>

class TSimpleStrings {
 public:
  // A length of 0 or less gives an empty list (what a failed read of -1
  // produces).
  TSimpleStrings(char* buffer, int32_t length);
  virtual ~TSimpleStrings();
  TSimpleStrings(const TSimpleStrings&) = delete;
  TSimpleStrings& operator=(const TSimpleStrings&) = delete;

  int32_t Count;  // number of lines
  char** Items;   // Items[i]: line i, terminated, inside the caller's buffer

  // True when memory ran out while the list grew: the lines after Count were
  // cut but not recorded.
  bool Truncated() const { return truncated_; }

 private:
  bool Grow();

  int32_t capacity_;
  bool truncated_;
};
