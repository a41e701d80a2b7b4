// TOStream over TSimpleFile.
#include "transfer/ostream.h"

#include <new>

#include "config/install_path.h"
#include "manifest/download_list.h"
#include "tinylib/diaglog.h"
#include "transfer/staging.h"

TOStream::TOStream(DownloadItem& item, const char* source)
    : item_(item), source_(source), file_(nullptr), refused_(false), unstamped_(false) {
  path_[0] = 0;
}

TOStream::~TOStream() {
  if (file_ == nullptr) return;
  file_->~TSimpleFile();
  file_ = nullptr;
}

bool TOStream::Seal() {
  if (!Created() || unstamped_) return false;
  // Checked before the stamp: other bytes than the release's, whatever
  // their size, must never count as staged complete.
  ContentVerdict verdict = check_.Finish();
  if (!ContentAccepted(verdict)) {
    LogContentRefused(item_.Name, source_, check_, verdict);
    unstamped_ = true;
    return false;
  }
  return SealStagedFile(file_->Handle(), item_.Stamp);
}

int32_t TOStream::Write(void* buffer, int32_t count) {
  if (refused_) return -1;
  if (file_ == nullptr) {
    if (!StagedItemPath(path_, item_.Name, kStagedNew)) {
      DiagLog("mirror: %.63s is not a safe name below the install folder; not written",
              item_.Name);
      refused_ = true;
      return -1;
    }
    // The staged file is written anew: a session's half of it is gone.
    ForgetResumeRecordFor(item_.Name);
    file_ = new (fileStorage_) TSimpleFile(CreateStagedFile(path_));
    check_.Start(item_);
  }
  if (count < 0) return -1;
  // More bytes than the manifest lists cannot be the right file, and a bad
  // mirror must not fill the disk: nothing past Size reaches it.
  if (count > item_.Size - item_.Received) {
    DiagLog("mirror: %.63s inflates past its %d bytes", item_.Name,
            static_cast<int>(item_.Size));
    return -1;
  }
  int32_t written = file_->Write(buffer, count);
  // Only bytes that reached the file count: a failed write must leave the
  // item short of its Size, hence pending.
  if (written > 0) {
    item_.Received += written;
    check_.Add(buffer, written);
  }
  if (written != count)
    DiagLog("mirror: wrote %d of %d bytes to %s", static_cast<int>(written),
            static_cast<int>(count), path_);
  return written;
}
