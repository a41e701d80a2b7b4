// The staging place on disk: staged paths, sealing, reuse of complete
// staged files, the session's resume record and the staged-file writer.
#include "transfer/staging.h"

#include <windows.h>

#include "config/settings.h"
#include "manifest/download_list.h"
#include "manifest/reserved_names.h"
#include "tinylib/diaglog.h"
#include "tinylib/file_names.h"
#include "tinylib/folders.h"
#include "tinylib/plain_path.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/content_check.h"

static const char kResumeRecordName[] = "resume";
// The serial is written here first, then renamed over the record.
static const char kSerialTempName[] = "serial.new";
// Bytes per read when a staged file is digested.
static const DWORD kDigestPiece = 16384;

// Reads length bytes from the file's current position into check.
static bool DigestFrom(HANDLE file, int64_t length, ContentCheck& check) {
  char piece[kDigestPiece];
  while (length > 0) {
    DWORD want = length < kDigestPiece ? static_cast<DWORD>(length) : kDigestPiece;
    DWORD got = 0;
    if (!ReadFile(file, piece, want, &got, nullptr) || got == 0) return false;
    check.Add(piece, static_cast<int32_t>(got));
    length -= got;
  }
  return true;
}

// Whether a staged file from an earlier run has the bytes the item lists.
static bool StagedContentMatches(const char* path, const DownloadItem& item) {
  if (!item.HasHash) return true;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ContentCheck check;
  check.Start(item);
  bool read = DigestFrom(file, item.Size, check);
  CloseHandle(file);
  ContentVerdict verdict = check.Finish();
  if (read && ContentAccepted(verdict)) return true;
  if (read) LogContentRefused(item.Name, "the staging folder", check, verdict);
  return false;
}

bool StagedItemPath(char* buffer, const char* name, StagingArea area) {
  buffer[0] = 0;
  if (name == nullptr || !IsSafeRelativeName(name) || IsReservedInstallName(name)) {
    DiagLog("staging: refusing %s: not a plain name, or one the installer keeps for itself",
            name == nullptr ? "(none)" : name);
    return false;
  }
  if (!FormStagingPath(buffer, kPathCapacity, InstallSettings.InstallDir, area, name)) {
    DiagLog("staging: no staged path for %s within %d characters", name, kPathCapacity - 1);
    return false;
  }
  return true;
}

// The staging folder itself, with its trailing backslash cut off.
static bool StagingFolder(char* buffer) {
  if (!FormStagingPath(buffer, kPathCapacity, InstallSettings.InstallDir, kStagedNew, nullptr))
    return false;
  *FindCharLast(buffer, '\\') = 0;  // "...\new\" -> "...\new"
  *FindCharLast(buffer, '\\') = 0;  // -> "...\Pellinor.staging"
  return true;
}

bool HoldStagingFolders(FolderChain* chain, const char* path, bool make) {
  return chain->Hold(path, TextLength(InstallSettings.InstallDir),
                     kChainOwned | (make ? kChainMake : 0));
}

static HANDLE CreateNewFile(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void* CreateStagedFile(const char* path) {
  // A new file cannot overwrite anything wherever it lands, so its folders
  // are checked, not held.
  int base = TextLength(InstallSettings.InstallDir);
  if (!CheckPlainFolders(path, base, kChainOwned | kChainMake)) return INVALID_HANDLE_VALUE;
  HANDLE file = CreateNewFile(path);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  // Something holds the name (an earlier attempt's file, or a link): it is
  // deleted, as a link if it is one, with the folders held so that the
  // delete lands nowhere else; then only a file nobody put there in between
  // is created.
  FolderChain chain;
  if (!HoldStagingFolders(&chain, path, false)) return INVALID_HANDLE_VALUE;
  DeleteFileA(path);
  return CreateNewFile(path);
}

bool PrepareStaging() {
  char folder[kPathCapacity];
  FolderChain chain;
  if (!StagingFolder(folder) || !AppendTextCut(folder, sizeof folder, "\\") ||
      !HoldStagingFolders(&chain, folder, true)) {
    DiagLog("staging: cannot make the staging folder");
    return false;
  }
  // Hidden: it is the installer's working place, not part of the client.
  SetFileAttributesA(folder, FILE_ATTRIBUTE_HIDDEN);
  return true;
}

StagedFacts StatStaged(const char* path) {
  StagedFacts facts = {};
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return facts;
  facts.Exists = true;
  facts.IsFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.Length = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  WORD date = 0, time = 0;
  facts.HasStamp = FileTimeToDosDateTime(&data.ftLastWriteTime, &date, &time) != 0;
  facts.Stamp = (static_cast<uint32_t>(date) << 16) | time;
  return facts;
}

bool SealStagedFile(void* fileHandle, uint32_t stamp) {
  HANDLE file = static_cast<HANDLE>(fileHandle);
  // The bytes reach the disk before the stamp says they are all there.
  if (!FlushFileBuffers(file)) {
    DiagLog("staging: flush failed (error %lu)", GetLastError());
    return false;
  }
  if (stamp == 0) return true;
  uint32_t error = SetFileStamp(file, stamp);
  if (error != 0) DiagLog("staging: cannot set the stamp (error %lu)", static_cast<unsigned long>(error));
  return error == 0;
}

int32_t ReuseStagedFiles() {
  int32_t reused = 0;
  for (int32_t i = 0; i < DownloadCount; i++) {
    DownloadItem& item = DownloadList[i];
    char path[kPathCapacity];
    if (item.State != kItemPending || !StagedItemPath(path, item.Name, kStagedNew)) continue;
    // Only read: the commit holds the folders when it moves the file.
    if (!CheckPlainFolders(path, TextLength(InstallSettings.InstallDir), kChainOwned)) continue;
    if (!StagedFileComplete(item.Size, item.Stamp, StatStaged(path))) continue;
    if (!StagedContentMatches(path, item)) {
      // Fetched again; the new bytes are written over these.
      DiagLog("staging: %s staged by an earlier run with other bytes; fetched again", item.Name);
      continue;
    }
    item.State = kItemDone;
    item.Received = item.Size;
    reused++;
    DiagLog("staging: %s staged complete by an earlier run; not fetched again", item.Name);
  }
  return reused;
}

// ---- the session's resume record ----

// A small record of the staging folder, written anew and flushed (never
// through a link: see CreateStagedFile).
static bool WriteRecordFile(const char* path, const char* text) {
  TSimpleFile file(CreateStagedFile(path));
  int32_t length = TextLength(text);
  return file.IsOpen() && file.Write(const_cast<char*>(text), length) == length &&
         FlushFileBuffers(static_cast<HANDLE>(file.Handle()));
}

static bool ResumeRecordPath(char* buffer) {
  if (!StagingFolder(buffer)) return false;
  return AppendTextCut(buffer, kPathCapacity, "\\") &&
         AppendTextCut(buffer, kPathCapacity, kResumeRecordName);
}

void LoadResumeRecord() {
  KeepResumeRecord(nullptr);
  char path[kPathCapacity];
  char text[kResumeRecordCapacity];
  // Most runs have none: not an error worth a log line.
  if (!ResumeRecordPath(path) || !StatStaged(path).Exists) return;
  TSimpleFile file(path, 0);
  if (!file.IsOpen()) return;
  int32_t n = file.Read(text, sizeof text - 1);
  if (n <= 0) return;
  text[n] = 0;
  ResumeRecord record;
  if (!ParseResumeRecord(text, &record)) return;
  KeepResumeRecord(&record);
  DiagLog("staging: resume record: %s, %d of %d bytes", record.Name,
          static_cast<int>(record.Length), static_cast<int>(record.Size));
}

// The staging folder, held from the first record the session writes until
// the clean-up: the record is rewritten before every session file, and
// written with the folder held it cannot land in a folder a link leads to.
static HANDLE RecordFolder;  // null until held

void ReleaseStagingRecordFolder() {
  if (RecordFolder != nullptr && RecordFolder != INVALID_HANDLE_VALUE) CloseHandle(RecordFolder);
  RecordFolder = nullptr;
}

bool SaveResumeRecord(const ResumeRecord& record) {
  char path[kPathCapacity];
  char text[kResumeRecordCapacity];
  if (!StagingFolder(path)) return false;
  if (RecordFolder == nullptr) RecordFolder = HoldPlainFolder(path);
  if (RecordFolder == INVALID_HANDLE_VALUE) {
    RecordFolder = nullptr;
    return false;
  }
  if (!ResumeRecordPath(path) || !FormatResumeRecord(text, sizeof text, record)) return false;
  // Written beside and renamed over the last one: a run cut while writing
  // leaves that one whole, never an empty record. A link of either name is
  // opened or replaced as itself, never followed.
  char temporary[kPathCapacity];
  int32_t length = TextLength(text);
  bool saved = JoinTextCut(temporary, sizeof temporary, path, ".new");
  if (saved) {
    TSimpleFile file(CreateFileA(temporary, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    saved = file.IsOpen() && file.Write(text, length) == length &&
            FlushFileBuffers(static_cast<HANDLE>(file.Handle()));
  }
  saved = saved && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  KeepResumeRecord(saved ? &record : nullptr);
  return saved;
}

void ForgetResumeRecordFor(const char* name) {
  char path[kPathCapacity];
  if (DropKeptResumeRecordFor(name) && ResumeRecordPath(path)) DeleteFileA(path);
}

// ---- StagedWriter ----

StagedWriter::StagedWriter() : handle_(INVALID_HANDLE_VALUE) {}

StagedWriter::~StagedWriter() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(handle_));
}

bool StagedWriter::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

bool StagedWriter::Create(const char* path) {
  // Not shared while written: nobody may read a half-written file.
  HANDLE file = CreateStagedFile(path);
  if (file == INVALID_HANDLE_VALUE) {
    DiagLog("staging: cannot create %s (error %lu)", path, GetLastError());
    return false;
  }
  handle_ = file;
  return true;
}

bool StagedWriter::ContinueAt(const char* path, int32_t offset, ContentCheck* check) {
  FolderChain chain;
  if (!HoldStagingFolders(&chain, path, false) || PathKindAt(path) != kPathFile) return false;
  // Not shared while written, as a new file would not be.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = file;
  if (check != nullptr && !DigestFrom(file, offset, *check)) return false;
  // Bytes past what the record vouches for may be from a write cut short.
  return SetFilePointer(file, offset, nullptr, FILE_BEGIN) == static_cast<DWORD>(offset) &&
         SetEndOfFile(file);
}

bool StagedWriter::Write(const void* bytes, int32_t count) {
  if (count < 0) return false;
  DWORD done = 0;
  return WriteFile(static_cast<HANDLE>(handle_), bytes, static_cast<DWORD>(count), &done, nullptr) &&
         done == static_cast<DWORD>(count);
}

bool StagedWriter::Flush() { return FlushFileBuffers(static_cast<HANDLE>(handle_)) != 0; }

bool StagedWriter::Seal(uint32_t stamp) { return SealStagedFile(handle_, stamp); }

void StagedWriter::Discard(const char* path) {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  if (!DeleteFileA(path)) DiagLog("staging: cannot delete %s (error %lu)", path, GetLastError());
}

// ---- the accepted release serial ----

static bool SerialRecordPath(char* buffer, const char* name = kSerialRecordName) {
  if (!StagingFolder(buffer)) return false;
  return AppendTextCut(buffer, kPathCapacity, "\\") && AppendTextCut(buffer, kPathCapacity, name);
}

uint32_t LoadReleaseSerial() {
  char path[kPathCapacity];
  char text[kSerialTextCapacity];
  if (!SerialRecordPath(path) || GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return 0;
  TSimpleFile file(path, 0);
  if (!file.IsOpen()) return 0;
  int32_t n = file.Read(text, sizeof text - 1);
  if (n <= 0) return 0;
  text[n] = 0;
  uint32_t serial = 0;
  if (!ParseSerialText(text, &serial)) {
    // Unreadable means tampered with or cut: nothing is known, and the
    // signature check still stands between the folder and any release.
    DiagLog("staging: serial record unreadable; no earlier release known");
    return 0;
  }
  return serial;
}

bool SaveReleaseSerial(uint32_t serial) {
  if (serial == 0 || serial <= LoadReleaseSerial()) return true;
  char path[kPathCapacity];
  char temp[kPathCapacity];
  char text[kSerialTextCapacity];
  FolderChain chain;
  if (!PrepareStaging() || !SerialRecordPath(path) || !SerialRecordPath(temp, kSerialTempName) ||
      !HoldStagingFolders(&chain, path, false))
    return false;
  FormatSerialText(text, serial);
  // Written whole and flushed under another name, then renamed over the
  // record: at every instant the record holds one serial or the other, never
  // none, so a cut run cannot reopen the door to an older release.
  bool saved = WriteRecordFile(temp, text) &&
               MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!saved) DeleteFileA(temp);
  DiagLog("staging: release serial %lu %s", static_cast<unsigned long>(serial),
          saved ? "remembered" : "could not be written");
  return saved;
}
