// The manifest's path beside the program.
#include "transfer/manifest_source.h"

#include "config/settings.h"
#include "tinylib/text.h"

static const char kLocalManifestExtension[] = "ver";

bool LocalManifestPath(char* path, const char* program) {
  if (program == nullptr || program[0] == 0) return false;
  if (!CopyTextCut(path, kPathCapacity, program)) return false;
  char* dot = FindCharLast(path, '.');
  char* slash = FindCharLast(path, '\\');
  if (dot == nullptr || (slash != nullptr && dot < slash)) {
    return AppendTextCut(path, kPathCapacity, ".") &&
           AppendTextCut(path, kPathCapacity, kLocalManifestExtension);
  }
  int32_t needed = static_cast<int32_t>(dot - path) + 1 + TextLength(kLocalManifestExtension) + 1;
  if (needed > kPathCapacity) return false;
  ReplaceExtension(path, kLocalManifestExtension);
  return true;
}
