// PLACEHOLDER until the HTTP stream lands.
#include "transfer/istream.h"

TIStream::TIStream(const char*) : InternetHandle(nullptr), UrlHandle(nullptr) {}
TIStream::~TIStream() {}
int32_t TIStream::Read(void*, int32_t) { return 0; }
int32_t TIStream::Seek(int32_t, uint8_t) { return 0; }
