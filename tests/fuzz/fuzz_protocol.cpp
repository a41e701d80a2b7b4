// Fuzz target: session requests as the host parses them, names as both
// sides judge them, reply words as the installer decodes them.
#include <stdint.h>
#include <string.h>

#include "transfer/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ChunkRequest request;
  if (ParseChunkRequest(reinterpret_cast<const char*>(data), static_cast<int32_t>(size), 262144,
                        &request)) {
    char text[kRequestTextCapacity];
    if (IsSafeRelativeName(request.name))
      FormatRequest(text, request.name, static_cast<int32_t>(request.offset & 0x7FFFFFFF),
                    static_cast<int32_t>(request.chunk));
  }
  char name[512];
  size_t n = size < sizeof name - 1 ? size : sizeof name - 1;
  memcpy(name, data, n);
  name[n] = 0;
  IsSafeRelativeName(name);
  if (size >= 4) {
    ReplyHeader header;
    DecodeReplyWord(GetLengthWord(data), &header);
  }
  return 0;
}
