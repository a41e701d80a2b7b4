// The release reader and mirror writer: every file read once for its
// SHA-256 and, with a mirror, written as one zlib stream in its month folder
// and under its top-level name, in parallel, kept when already there.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/publish/manifest_writer.h"
#include "tools/publish/options.h"
#include "tools/publish/progress.h"
#include "tools/publish/publish.h"
#include "tools/publish/release_scan.h"

namespace publish {

class MirrorJob {
 public:
  // sourceFd: the release folder's descriptor, which files are read below.
  MirrorJob(const Options& options, const PreviousRelease& previous, int sourceFd);
  ~MirrorJob();  // removes prepared objects that were not committed
  MirrorJob(const MirrorJob&) = delete;
  MirrorJob& operator=(const MirrorJob&) = delete;

  // Reads every file, filling its hash. With a mirror, an object that is
  // missing, broken or (when checked) not of the file's content is
  // compressed in the same read, under a temporary name: nothing the
  // mirror serves changes yet. An existing object is inflated and compared
  // with --verify, and always when the previous files.ver does not list the
  // file with this very hash. False when anything failed (reasons in
  // report->errors).
  bool Prepare(std::vector<FileEntry>* files, Progress* progress, Report* report);

  // Renames the prepared objects into place and makes the top-level names.
  bool Commit(Report* report);

  // Removes object files of the mirror (STAMP_SIZE_NAME at its top and in the
  // month folder its stamp gives) that no file of the release names. Nothing
  // else in the folder is touched.
  bool Prune(Report* report);

 private:
  struct Plan;
  const Options& options_;
  const PreviousRelease& previous_;
  const int sourceFd_;
  const std::vector<FileEntry>* files_ = nullptr;
  std::vector<Plan> plans_;
};

// True for a name of the form STAMP_SIZE_NAME (stamp up to 4294967295, size
// up to 2147483647, NAME not empty), with its stamp.
bool IsMirrorObjectName(const std::string& name, uint32_t* stamp);

}  // namespace publish
