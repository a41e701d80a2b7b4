#include "tools/common/paths.h"

#include <stdlib.h>

#include <algorithm>
#include <memory>

namespace tools {

std::string CanonicalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool IsInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  auto mismatch = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return mismatch.first == outer.end();
}

}  // namespace tools
