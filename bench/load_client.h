// Shared by the load client's two parts: the release it checks against and
// the decoding both use.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

struct File {
  std::string name;     // as in files.ver
  std::string object;   // top-level mirror object
  std::vector<uint8_t> bytes;
};

extern std::vector<File> g_files;
extern std::atomic<uint64_t> g_errors;

double Now();

// Descrambles count bytes of from into to, a word at a time.
void DescrambleCopy(uint8_t* to, const uint8_t* from, size_t count);

// The client's ceiling without a network: decodes and checks the release in
// memory on threads threads for two seconds; http: whole-file zlib streams.
int DecodeOnly(int threads, bool http);
