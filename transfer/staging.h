// The staging place of an update: every download is written into the hidden
// folder "Pellinor.staging" of the install folder, verified and sealed there,
// and only moved over the installed file once every file of the list is
// staged complete (see the commit in install/commit.h).
//
//   Pellinor.staging\new\<name>   a file being fetched, or staged complete
//   Pellinor.staging\old\<name>   an installed file moved aside because it
//                                 was in use; deleted by the next run
//   Pellinor.staging\resume       which session download new\ holds half of
//
// A staged file is complete when it has the entry's size and carries its
// stamp as last-write time: the stamp is set only after every byte arrived,
// passed the stream's check and was flushed.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct DownloadItem;
class ContentCheck;

enum StagingArea { kStagedNew, kStagedOld };
enum { kResumeRecordCapacity = 128 };

// installDir + "Pellinor.staging\new\" (or "old\") + name, with '/' written
// as '\'. installDir may lack its closing backslash; name NULL or empty gives
// the area folder itself. False, with an empty text, when it does not fit.
bool FormStagingPath(char* buffer, size_t capacity, const char* installDir, StagingArea area,
                     const char* name);

// What the file system says about a staged file.
struct StagedFacts {
  bool Exists;
  bool IsFolder;
  int64_t Length;
  bool HasStamp;   // its last-write time has a DOS form
  uint32_t Stamp;  // that DOS form
};

// The reuse rule: a staged file counts as complete for an entry exactly when
// it would count as up to date in place. An entry of size 0 needs only the
// file; any other needs the size and a stamp that is not 0 and matches (an
// entry stamped 0 is never reused: nothing marks its file as verified).
bool StagedFileComplete(int32_t size, uint32_t stamp, const StagedFacts& facts);

// The session download that new\ holds part of: the entry and how many of
// its bytes were flushed to the staged file when the record was written.
struct ResumeRecord {
  char Name[64];
  int32_t Size;
  uint32_t Stamp;
  int32_t Length;
};
// "name=size,stamp,length". False when it does not fit.
bool FormatResumeRecord(char* buffer, size_t capacity, const ResumeRecord& record);
// False for anything that is not exactly that form.
bool ParseResumeRecord(const char* text, ResumeRecord* record);

// Where a session download of the entry continues: the record's length when
// the record names this very entry (name, size and stamp) and the staged
// file holds at least that many bytes; 0 (start anew) otherwise.
int32_t SessionResumeOffset(const ResumeRecord* record, const char* name, int32_t size,
                            uint32_t stamp, int64_t stagedLength);

// The serial record's text: the decimal serial (1..4294967295). Parse
// allows one line end after it and nothing else.
enum { kSerialTextCapacity = 16 };
void FormatSerialText(char buffer[kSerialTextCapacity], uint32_t serial);
bool ParseSerialText(const char* text, uint32_t* serial);

// ---- Windows side (staging_win.cpp) ----

// The staged path of an item's name (below InstallSettings.InstallDir), in a
// buffer of 260. False (logged) when the name is not a plain name below the
// install folder, lies in the staging folder, or the path does not fit.
bool StagedItemPath(char* buffer, const char* name, StagingArea area);
// Makes the staging folder (hidden). False when it cannot be made.
bool PrepareStaging();
// Facts of a path; Exists false when there is nothing.
StagedFacts StatStaged(const char* path);
// Flushes the file and, when stamp is not 0, sets its last-write time from
// it: after this the file counts as complete. False when either failed.
bool SealStagedFile(void* fileHandle, uint32_t stamp);

// Items whose staged file is complete are done without a fetch: those that
// list a hash only when the file's bytes have it (they were written by an
// earlier run, so this one reads them once). Returns how many; their bytes
// count as received for the progress display.
int32_t ReuseStagedFiles();

// The highest release serial this installation accepted, kept in the
// staging folder's "serial" (0 when none): a signed manifest with a lower
// one is a rollback. Saved by the commit once an update is complete; a
// lower value never replaces a higher one.
uint32_t LoadReleaseSerial();
bool SaveReleaseSerial(uint32_t serial);

// The session's resume record: loaded once by the job before the downloads;
// written by the session download as it goes.
void LoadResumeRecord();
const ResumeRecord* CurrentResumeRecord();  // null when none
bool SaveResumeRecord(const ResumeRecord& record);
// A mirror worker is about to write the item's staged file anew: a record
// for it no longer describes what the file holds.
void ForgetResumeRecordFor(const char* name);

// A staged file being written by the session: created anew or continued.
class StagedWriter {
 public:
  StagedWriter();
  ~StagedWriter();
  StagedWriter(const StagedWriter&) = delete;
  StagedWriter& operator=(const StagedWriter&) = delete;

  // Creates the file anew (making its folders).
  bool Create(const char* path);
  // Opens the existing file and cuts it to offset, so that writing goes on
  // right after the bytes the record vouches for; those bytes are first
  // read into check (when not null).
  bool ContinueAt(const char* path, int32_t offset, ContentCheck* check = nullptr);
  bool Write(const void* bytes, int32_t count);
  bool Flush();
  bool Seal(uint32_t stamp);
  bool IsOpen() const;
  // Closes the file and deletes it (path is where it was opened).
  void Discard(const char* path);

 private:
  void* handle_;
};
