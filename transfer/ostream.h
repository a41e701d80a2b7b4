// TOStream: the sink of one mirror download. It writes the inflated bytes of
// one DownloadItem into its staged file (transfer/staging.h), counts them in
// the item's Received and, when the item lists a hash, digests them as they
// are written.
#pragma once

#include <stdint.h>

#include "tinylib/simple_file.h"
#include "tinylib/streams.h"
#include "transfer/content_check.h"

struct DownloadItem;

enum { kOutputPathCapacity = 260 };

class TOStream : public TBaseStream {
 public:
  // source names where the bytes come from, for the log (kept, not copied).
  explicit TOStream(DownloadItem& item, const char* source = "mirror");
  // Closes the file; a file that was not sealed stays unstamped.
  ~TOStream() override;
  TOStream(const TOStream&) = delete;
  TOStream& operator=(const TOStream&) = delete;

  // The first call, even of 0 bytes, creates the file anew. Gives the count
  // when every byte was written; -1 (or a short count) otherwise: a name that
  // is not a safe path below the install folder, a file that cannot be
  // created or written, or bytes beyond the item's Size. Received grows only
  // by the bytes that reached the file.
  int32_t Write(void* buffer, int32_t count) override;

  // True once the file has been created and opened.
  bool Created() const { return file_ != nullptr && file_->IsOpen(); }
  // The object failed its check or size: the file keeps its own time, so a
  // file of the listed size never passes for complete on the next run.
  void KeepUnstamped() { unstamped_ = true; }
  // Flushes the file and sets its time from the item's Stamp (when not 0):
  // from then on it counts as staged complete. False when not created, kept
  // unstamped, the bytes do not have the item's listed hash (logged with
  // both hashes; the file then stays unstamped), or the flush or stamp
  // failed.
  bool Seal();

 private:
  DownloadItem& item_;
  const char* source_;
  ContentCheck check_;
  // The file lives in place, constructed on the first Write: no allocation
  // per file, and "no file yet" is simply a null pointer.
  alignas(TSimpleFile) unsigned char fileStorage_[sizeof(TSimpleFile)];
  TSimpleFile* file_;
  bool refused_;  // the name gave no path: every Write fails
  bool unstamped_;
  char path_[kOutputPathCapacity];
};
