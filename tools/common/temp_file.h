// Temporary files that become real ones only by a rename, so that readers
// see the old file or the new one, never a part.
#pragma once

#include <string>

namespace tools {

// Removes the file at path when it goes out of scope, unless Keep() was
// called after it was renamed into place.
class TempFile {
 public:
  TempFile() = default;
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void Set(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// A fixed temporary name beside target, unique per process and worker
// (".tmp-NAME-PID-WORKER"), for writers that run in parallel.
std::string TempPathBeside(const std::string& target, unsigned worker);

// Creates a new temporary file in folder named prefix + six random
// characters (mkstemp). Returns the descriptor, or -1 with errno set; the
// name goes to *temp, which removes it unless kept.
int CreateTempIn(const std::string& folder, const std::string& prefix, TempFile* temp);

}  // namespace tools
