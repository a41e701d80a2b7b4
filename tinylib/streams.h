// The byte stream every reader and writer of the installer derives from:
// files, the HTTP input stream, the mirror file sink and test doubles.
//
// A subclass overrides only what it supports; an operation it leaves alone
// answers 0, which callers read as "nothing done". Failures are -1.
#pragma once

#include <stdint.h>

enum : uint8_t {
  kSeekFromStart = 0,
  kSeekFromCurrent = 1,
  kSeekFromEnd = 2,
};

class TBaseStream {
 public:
  // Bytes placed in the buffer; 0 at the end; -1 on failure.
  virtual int32_t Read(void* buffer, int32_t count) {
    (void)buffer;
    (void)count;
    return 0;
  }
  // Bytes taken; -1 on failure.
  virtual int32_t Write(void* buffer, int32_t count) {
    (void)buffer;
    (void)count;
    return 0;
  }
  // The new position; origin is one of kSeekFrom*.
  virtual int32_t Seek(int32_t distance, uint8_t origin) {
    (void)distance;
    (void)origin;
    return 0;
  }
  // Declared after the three operations so that they keep the first three
  // slots of the table.
  virtual ~TBaseStream() {}
};
