// Text helpers over NUL-terminated single-byte strings in fixed arrays.
//
// None of the Put* routines checks the room of its destination: the caller
// guarantees it, terminator included. Where input comes from outside (command
// line, resource, server), use the bounded helpers at the end of this file.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Searching and measuring.
int TextLength(const char* text);
char* FindChar(const char* text, char c);       // finds the terminator for c == 0
char* FindCharFirst(const char* text, char c);  // never finds the terminator
char* FindCharLast(const char* text, char c);   // never finds the terminator

// Copying and printing; each returns the position of the terminator written,
// so that calls chain left to right.
char* PutText(char* dst, const char* src);
char* PutChars(char* dst, const char* src, int n);  // exactly n bytes, then a NUL
char* PutFirstLine(char* dst, const char* src);     // up to the first CR
char* PutChar(char* dst, char c);                   // writes no terminator
char* PutDecimal(char* dst, int32_t value);         // at most 11 characters + NUL
char* PutUnsigned(char* dst, uint32_t value);       // at most 10 characters + NUL

// first + second + third into dst; first may be dst itself (then it appends).
// A missing second piece drops the third. Returns dst.
char* JoinText(char* dst, const char* first, const char* second = nullptr,
               const char* third = nullptr);
char* AppendText(char* dst, const char* second, const char* third = nullptr);

// Paths ('\' separated; '/' is read as a separator where names come from
// outside).
enum { kPathCapacity = 260 };  // a Windows path and its terminator (MAX_PATH)
inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }
char* EnsureBackslash(char* path);  // empty stays empty; returns the terminator
// Replaces what follows the last '.' anywhere in the path. A path with no '.'
// gets '.' and the extension appended: the caller leaves room for both.
char* ReplaceExtension(char* path, const char* extension);

// Parsing and comparing (ASCII case folding only).
uint32_t ReadDecimal(const char*& cursor);  // wraps modulo 2^32, no sign
uint32_t DecimalOf(const char* text);
// At least one digit, read while the value stays at most limit (the cursor
// stops after the digits); false for no digit or a value over limit.
bool ReadDecimalUpTo(const char*& cursor, uint32_t limit, uint32_t* value);
// The value of a lower-case hex digit; -1 for anything else (upper case too:
// one spelling per value).
int LowerHexValue(char c);
inline char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
bool EqualNoCase(const char* a, const char* b);
bool EqualNoCaseN(const char* a, const char* b, int n);

// Bounded helpers for text of unknown length. capacity counts the terminator.
// Each writes at most capacity bytes and returns false when the text was cut.
bool CopyTextCut(char* dst, size_t capacity, const char* src);
bool AppendTextCut(char* dst, size_t capacity, const char* src);
// first + second into dst (a path joined from its folder and a name).
bool JoinTextCut(char* dst, size_t capacity, const char* first, const char* second);
// True when the text and its terminator fit in capacity bytes.
bool FitsIn(const char* text, size_t capacity);
