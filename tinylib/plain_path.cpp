// The portable rules of walking a path without following links.
#include "tinylib/plain_path.h"

namespace {
const uint32_t kNoAttributes = 0xFFFFFFFF;
const uint32_t kFolderBit = 0x10;    // FILE_ATTRIBUTE_DIRECTORY
const uint32_t kReparseBit = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT
}  // namespace

PathKind PathKindOfAttributes(uint32_t attributes) {
  if (attributes == kNoAttributes) return kPathMissing;
  if (attributes & kReparseBit) return kPathLink;
  return (attributes & kFolderBit) ? kPathFolder : kPathFile;
}

ChainStep DecideChainStep(PathKind found, uint32_t flags) {
  switch (found) {
    case kPathFolder:
      return kStepEnter;
    case kPathMissing:
      return (flags & kChainMake) ? kStepMake : kStepStop;
    default:
      return (flags & kChainOwned) ? kStepDrop : kStepRefuse;
  }
}

int FolderCuts(const char* path, int base, int* cuts, int capacity) {
  int count = 0;
  int length = 0;
  while (path[length] != 0) length++;
  int last = length - 1;
  while (last >= 0 && path[last] != '\\') last--;
  for (int i = base; i <= last; i++) {
    // A '\' right at base or after another ends no folder of its own.
    if (path[i] != '\\' || i == base || path[i - 1] == '\\') continue;
    if (count == capacity) return -1;
    cuts[count++] = i;
  }
  return count;
}
