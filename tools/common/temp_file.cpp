#include "tools/common/temp_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace tools {

TempFile::~TempFile() {
  if (!keep_ && !path_.empty()) unlink(path_.c_str());
}

std::string TempPathBeside(const std::string& target, unsigned worker) {
  std::filesystem::path p(target);
  return (p.parent_path() / (".tmp-" + p.filename().string() + "-" + std::to_string(getpid()) +
                             "-" + std::to_string(worker)))
      .string();
}

int CreateTempIn(const std::string& folder, const std::string& prefix, TempFile* temp) {
  std::string pattern = (std::filesystem::path(folder) / (prefix + "XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  int fd = mkstemp(name.data());
  if (fd >= 0) temp->Set(name.data());
  return fd;
}

}  // namespace tools
