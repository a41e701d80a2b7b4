// Delta updates, the Windows half: the index from the manifest's source,
// the installed files cut into chunks, and the assembly of a staged file
// over the session or a mirror site. Every failure gives the item back to
// the whole-file download, logged once.
#include "transfer/delta.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <new>

#include "config/install_path.h"
#include "config/settings.h"
#include "config/sites.h"
#include "manifest/download_list.h"
#include "manifest/release_key.h"
#include "manifest/reserved_names.h"
#include "runtime/outcome.h"
#include "runtime/progress.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"
#include "tinylib/plain_path.h"
#include "tinylib/sha256.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "tinylib/tinyzip.h"
#include "transfer/content_check.h"
#include "transfer/istream.h"
#include "transfer/manifest_source.h"
#include "transfer/mirror.h"
#include "transfer/session.h"
#include "transfer/staging.h"

namespace {

const char kIndexSuffix[] = ".idx";
const char kSignatureSuffix[] = ".sig";
// The table of installed chunks never takes more than 56 MiB.
const uint32_t kMaxSlots = 1u << 21;
// Entries of the index that are installed files, not items: file numbers
// with this bit name an entry.
const uint32_t kEntryFile = 0x80000000u;
// Installed files the release no longer names (a renamed or moved file keeps
// its chunks): at most this many, numbered with kLeftoverFile.
const int32_t kLeftoverCapacity = 1024;
const uint32_t kLeftoverFile = 0x40000000u;
// Bytes between two checkpoints of a session assembly (as a session download).
const int32_t kCheckpointBytes = 4 * 1048576;

uint8_t* IndexBytes;
ChunkIndexHeader Header;
ChunkIndexFile* Entries;
int32_t EntryCount;
LocalChunk* Slots;
LocalChunkTable Table;
// Per download item.
struct DeltaItem {
  int32_t Entry;     // -1: no delta path (none, or given up)
  int32_t Planned;   // bytes to fetch as planned
  int32_t Fetched;   // bytes fetched by the assembly that staged it
  bool Pending;      // to be fetched when the downloads began
  bool Done;         // staged by the delta path
};
DeltaItem* Items;
uint8_t* Listed;  // per entry: its installed file is out of date
char (*Leftovers)[kItemNameCapacity];
int32_t LeftoverCount;

// The index (suffix "") or its signature (".sig") from the manifest's source.
uint8_t* FetchFromSource(ManifestSource source, const char* suffix, int32_t limit,
                         int32_t* length) {
  char name[16];
  *length = 0;
  if (!JoinTextCut(name, sizeof name, kIndexSuffix, suffix)) return nullptr;
  return reinterpret_cast<uint8_t*>(ReadBesideManifest(source, name, limit, length));
}

// Whether the index is the release's own: the signature of a keyed build
// over its bytes with the accepted manifest's serial.
bool IndexSigned(const ListedManifest& listed, const uint8_t* index, int32_t length) {
  int32_t sigLength;
  uint8_t* sig = FetchFromSource(listed.Source, kSignatureSuffix, kSignatureTextLimit, &sigLength);
  uint8_t digest[kSha256Length];
  ReleaseSignature accepted;
  // The manifest passed the clock and the rollback check already; the index
  // must carry that very release's serial.
  bool ok = sig != nullptr && sigLength <= kSignatureTextLimit && Sha256Of(index, length, digest) &&
            CheckReleaseManifest(kReleaseKey, reinterpret_cast<const char*>(sig), sigLength,
                                 digest, 0, 0, &accepted) == kReleaseOk &&
            accepted.Serial == listed.AcceptedSerial;
  free(sig);
  return ok;
}

void CollectEntry(void* context, const ChunkIndexFile& file) {
  (void)context;
  Entries[EntryCount++] = file;
}

// Reads and checks the index; false (logged) when there is none to use.
bool LoadIndex(const ListedManifest& listed) {
  int32_t length;
  IndexBytes = FetchFromSource(listed.Source, "", kChunkIndexLimit, &length);
  const char* why = nullptr;
  ChunkIndexResult result = ParseChunkIndex(IndexBytes, IndexBytes ? length : 0, &Header, nullptr);
  if (IndexBytes == nullptr || length == 0) why = "none";
  else if (result != kChunkIndexOk) why = ChunkIndexResultText(result);
  else if (memcmp(Header.ManifestDigest, listed.Digest, kSha256Size) != 0)
    why = "another files.ver";
  else if (kHaveReleaseKey && !IndexSigned(listed, IndexBytes, length))
    why = "not signed";
  else if ((Entries = static_cast<ChunkIndexFile*>(
                malloc(sizeof(ChunkIndexFile) * (Header.FileCount + 1)))) == nullptr)
    why = "no memory";
  if (why != nullptr) {
    DiagLog("delta: no index (%s); whole files", why);
    return false;
  }
  ChunkIndexSink sink = {nullptr, CollectEntry};
  ParseChunkIndex(IndexBytes, length, &Header, &sink);
  DiagLog("delta: chunk index of %d files, %d bytes", static_cast<int>(EntryCount),
          static_cast<int>(length));
  return true;
}

// The installed path of old file number file.
bool OldFilePath(char* path, uint32_t file) {
  const char* name = DownloadList[file & ~kEntryFile].Name;
  char entryName[kItemNameCapacity];
  if ((file & kLeftoverFile) != 0) {
    name = Leftovers[file & ~kLeftoverFile];
  } else if ((file & kEntryFile) != 0) {
    const ChunkIndexFile& entry = Entries[file & ~kEntryFile];
    PutChars(entryName, entry.Name, entry.NameLength);
    name = entryName;
  }
  return InstallPath(path, name) != nullptr;
}

// Cuts one installed file into the table.
void CutOldFile(uint32_t file, uint8_t* buffer, int32_t capacity) {
  char path[kPathCapacity];
  if (!OldFilePath(path, file)) return;
  TSimpleFile old(path, 0);
  int32_t have = 0;
  uint32_t offset = 0;
  bool atEnd = !old.IsOpen();
  while (!atEnd) {
    int32_t got = old.Read(buffer + have, capacity - have);
    atEnd = got < capacity - have;
    if (got > 0) have += got;
    int32_t used = 0;
    if (!AddLocalChunks(&Table, Header.Sizes, file, offset, buffer, have, atEnd, &used)) return;
    memmove(buffer, buffer + used, static_cast<size_t>(have - used));
    have -= used;
    offset += static_cast<uint32_t>(used);
  }
}

// An installed file the index does not name (nor one of the installer's
// own): its chunks may serve a file that moved. *context (bytes) grows by
// its size.
void NoteLeftover(void* context, const char* root, const char* relative, PathKind kind) {
  char path[kPathCapacity];
  if (kind != kPathFile || LeftoverCount >= kLeftoverCapacity ||
      TextLength(relative) >= kItemNameCapacity || IsReservedInstallName(relative) ||
      FindIndexEntry(Entries, EntryCount, relative) >= 0 || !JoinTextCut(path, sizeof path, root, relative))
    return;
  PutText(Leftovers[LeftoverCount++], relative);
  *static_cast<int64_t*>(context) += FileLength(path);
}

// The table: chunks of every pending item's installed copy and of every
// installed file the release no longer names (read and cut), and of every
// installed file the index lists and the update leaves alone (from the
// index: a copied file costs nothing).
bool BuildTable() {
  int64_t oldBytes = 0, listedChunks = 0;
  for (int32_t i = 0; i < DownloadCount; i++) {
    char path[kPathCapacity];
    int64_t length = Items[i].Entry >= 0 && OldFilePath(path, i) ? FileLength(path) : -1;
    if (length > 0) oldBytes += length;
  }
  for (int32_t e = 0; e < EntryCount; e++) listedChunks += Entries[e].ChunkCount;
  Leftovers = static_cast<char(*)[kItemNameCapacity]>(malloc(kLeftoverCapacity * kItemNameCapacity));
  char root[kPathCapacity];
  if (Leftovers != nullptr && CopyTextCut(root, sizeof root, InstallSettings.InstallDir)) {
    EnsureBackslash(root);
    WalkPlainTree(root, "", NoteLeftover, &oldBytes);
  }
  uint32_t slots = LocalTableSlots(oldBytes, Header.Sizes.Min, listedChunks, kMaxSlots);
  if (slots == 0) slots = kMaxSlots;
  Slots = static_cast<LocalChunk*>(malloc(sizeof(LocalChunk) * slots));
  const int32_t kCutBuffer = 4 * kChunkLargest;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kCutBuffer));
  bool ok = Slots != nullptr && buffer != nullptr;
  if (ok) {
    ResetLocalChunks(&Table, Slots, slots);
    for (int32_t i = 0; i < DownloadCount; i++)
      if (Items[i].Entry >= 0) CutOldFile(static_cast<uint32_t>(i), buffer, kCutBuffer);
    for (int32_t f = 0; f < LeftoverCount; f++)
      CutOldFile(kLeftoverFile | static_cast<uint32_t>(f), buffer, kCutBuffer);
    for (int32_t e = 0; e < EntryCount; e++) {
      const ChunkIndexFile& entry = Entries[e];
      char name[kItemNameCapacity];
      PutChars(name, entry.Name, entry.NameLength);
      char path[kPathCapacity];
      if (Listed[e] || InstallPath(path, name) == nullptr || FileLength(path) != entry.Size) continue;
      uint32_t offset = 0;
      for (int32_t c = 0; c < entry.ChunkCount; c++) {
        int32_t n = ChunkIndexChunkLength(entry, c);
        AddLocalChunk(&Table, ChunkIndexChunkId(entry, c), kEntryFile | static_cast<uint32_t>(e),
                      offset, n);
        offset += static_cast<uint32_t>(n);
      }
    }
  }
  free(buffer);
  return ok;
}

// Gives the item back to the whole-file path, once.
void GiveUp(int32_t index, const char* why) {
  DeltaItem& item = Items[index];
  if (item.Entry < 0) return;
  DiagLog("delta: %s: %s; whole file", DownloadList[index].Name, why);
  item.Entry = -1;
  BytesTotal += DownloadList[index].Size - item.Planned;
}

// One assembly: its staged file, its digest and its old-file reader.
struct Assembly {
  DownloadItem* Item;
  StagedWriter File;
  ContentCheck Check;
  TSimpleFile* Old;  // the old file open for reading, or null
  uint32_t OldNumber;
  TSiteInfo* Site;   // null over the session
  ResumeRecord Record;
  int32_t Checkpoint;
  alignas(TSimpleFile) unsigned char OldStorage[sizeof(TSimpleFile)];
};

bool ReadOld(void* context, uint32_t file, uint32_t offset, uint8_t* buffer, int32_t length) {
  Assembly* a = static_cast<Assembly*>(context);
  if (a->Old == nullptr || a->OldNumber != file) {
    if (a->Old != nullptr) a->Old->~TSimpleFile();
    char path[kPathCapacity];
    if (!OldFilePath(path, file)) path[0] = 0;
    a->Old = new (a->OldStorage) TSimpleFile(path, 0);
    a->OldNumber = file;
  }
  return a->Old->Seek(static_cast<int32_t>(offset), kSeekFromStart) == static_cast<int32_t>(offset) &&
         a->Old->Read(buffer, length) == length;
}

bool WriteNew(void* context, const uint8_t* bytes, int32_t length, int32_t end) {
  Assembly* a = static_cast<Assembly*>(context);
  if (!a->File.Write(bytes, length)) return false;
  a->Check.Add(bytes, length);
  // Over the session a cut run goes on from the last checkpoint (the mirror
  // workers share one record, so they keep none).
  if (a->Site == nullptr && end >= 0 && end - a->Checkpoint >= kCheckpointBytes &&
      a->File.Flush()) {
    a->Record.Length = end;
    SaveResumeRecord(a->Record);
    a->Checkpoint = end;
  }
  return true;
}

int32_t FetchOverSession(void* context, const ChunkStep& step, uint8_t* buffer) {
  Assembly* a = static_cast<Assembly*>(context);
  int32_t n = RequestChunk(a->Item->Name, step.NewOffset, step.Length);
  if (n < step.Length || ReplyData == nullptr) return -1;
  memcpy(buffer, ReplyData, static_cast<size_t>(step.Length));
  UpdateProgress(static_cast<int32_t>(BytesDone) + step.Length);
  return step.Length;
}

// The inflated chunk object, into the assembly's buffer.
class ChunkSink : public TBaseStream {
 public:
  explicit ChunkSink(uint8_t* buffer) : buffer_(buffer), length_(0) {}
  int32_t Write(void* bytes, int32_t count) override {
    if (count > kChunkLargest - length_) return -1;
    memcpy(buffer_ + length_, bytes, static_cast<size_t>(count));
    length_ += count;
    return count;
  }

 private:
  uint8_t* buffer_;
  int32_t length_;
};

int32_t FetchFromSite(void* context, const ChunkStep& step, uint8_t* buffer) {
  Assembly* a = static_cast<Assembly*>(context);
  char url[kMirrorUrlCapacity];
  if (!ChunkObjectUrl(url, sizeof url, a->Site->Url,
                      ChunkIndexChunkId(Entries[Items[a->Item - DownloadList].Entry], step.FirstChunk)))
    return -1;
  TIStream source(url);
  ChunkSink sink(buffer);
  int32_t n = source.IsOpen() ? InflateStream(source, sink) : -1;
  if (n != step.Length) {
    DiagLog("delta: %s gave %d bytes, not %d", url, static_cast<int>(n), static_cast<int>(step.Length));
    return -1;
  }
  a->Item->Received += n;
  return n;
}

// Assembles the item in staging; true when it is staged complete.
bool Assemble(int32_t index, TSiteInfo* site) {
  DownloadItem& item = DownloadList[index];
  const ChunkIndexFile& entry = Entries[Items[index].Entry];
  char path[kPathCapacity];
  if (InstallPath(path, item.Name) == nullptr || !StagedItemPath(path, item.Name, kStagedNew)) {
    GiveUp(index, "name refused");
    return false;
  }
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kChunkLargest));
  Assembly a;
  a.Item = &item;
  a.Old = nullptr;
  a.OldNumber = 0;
  a.Site = site;
  a.Record = ResumeRecord();
  PutText(a.Record.Name, item.Name);
  a.Record.Size = item.Size;
  a.Record.Stamp = item.Stamp;
  a.Check.Start(item);
  int32_t resume = 0;
  if (site == nullptr) {
    ResumeRecord kept;
    resume = SessionResumeOffset(KeptResumeRecord(&kept) ? &kept : nullptr, item.Name, item.Size,
                                 item.Stamp, StatStaged(path).Length);
    if (!IsChunkBoundary(entry, resume)) resume = 0;
  } else {
    ForgetResumeRecordFor(item.Name);
  }
  a.Checkpoint = resume;
  bool open = resume > 0 ? a.File.ContinueAt(path, resume, &a.Check) : a.File.Create(path);
  if (open && resume == 0 && site == nullptr) SaveResumeRecord(a.Record);
  if (resume > 0) DiagLog("delta: %s continues at %d", item.Name, static_cast<int>(resume));
  DeltaIo io = {&a, ReadOld, site == nullptr ? FetchOverSession : FetchFromSite, WriteNew};
  int64_t fetched = 0;
  DeltaResult result = buffer == nullptr || !open ? kDeltaWriteFailed
                       : AssembleChunkedFile(entry, Table, site == nullptr ? kChunkLargest : 0,
                                             resume, io, buffer, &fetched);
  free(buffer);
  if (a.Old != nullptr) a.Old->~TSimpleFile();
  const char* why = result == kDeltaDone ? nullptr : DeltaResultText(result);
  if (why == nullptr && !ContentAccepted(a.Check.Finish())) {
    LogContentRefused(item.Name, "the delta assembly", a.Check, a.Check.Finish());
    why = "SHA-256 mismatch";
    a.File.Discard(path);
  } else if (why == nullptr && !a.File.Seal(item.Stamp)) {
    why = "flush failed";
  }
  if (why != nullptr) {
    if (site == nullptr) BytesDone -= static_cast<uint32_t>(fetched);
    GiveUp(index, why);
    return false;
  }
  Items[index].Fetched = static_cast<int32_t>(fetched);
  Items[index].Done = true;
  DiagLog("delta: %s staged: %d of %d bytes fetched", item.Name, static_cast<int>(fetched),
          static_cast<int>(item.Size));
  return true;
}

}  // namespace

void PrepareDelta(const ListedManifest& listed) {
  Items = static_cast<DeltaItem*>(calloc(static_cast<size_t>(DownloadCount) + 1, sizeof(DeltaItem)));
  if (Items == nullptr) return;
  // Only an update reads the index: a first install has nothing to reuse.
  bool any = false;
  for (int32_t i = 0; i < DownloadCount; i++) {
    char path[kPathCapacity];
    Items[i].Entry = -1;
    Items[i].Pending = DownloadList[i].State == kItemPending;
    any = any || (Items[i].Pending && InstallPath(path, DownloadList[i].Name) != nullptr &&
                  FileLength(path) > 0);
  }
  if (!any || !listed.Found || listed.Source == kManifestFromNowhere || !LoadIndex(listed)) return;
  Listed = static_cast<uint8_t*>(calloc(static_cast<size_t>(EntryCount) + 1, 1));
  for (int32_t i = 0; Listed != nullptr && i < DownloadCount; i++) {
    const DownloadItem& item = DownloadList[i];
    int32_t e = FindIndexEntry(Entries, EntryCount, item.Name);
    if (e >= 0) Listed[e] = 1;
    if (Items[i].Pending && e >= 0 && EntryFitsItem(Entries[e], item.Size, item.HasHash, item.Hash))
      Items[i].Entry = e;
  }
  if (Listed == nullptr || !BuildTable()) {
    DiagLog("delta: no memory; whole files");
    for (int32_t i = 0; i < DownloadCount; i++) Items[i].Entry = -1;
    return;
  }
  int64_t planned = 0, full = 0;
  for (int32_t i = 0; i < DownloadCount; i++) {
    if (Items[i].Entry < 0) continue;
    ChunkPlanTotals totals = {};
    PlanChunkedFile(Entries[Items[i].Entry], Table, 0, nullptr, &totals);
    // Nothing to reuse: the whole object is one compressed request.
    if (totals.CopyBytes == 0) {
      Items[i].Entry = -1;
      continue;
    }
    Items[i].Planned = static_cast<int32_t>(totals.FetchBytes);
    BytesTotal -= DownloadList[i].Size - Items[i].Planned;
    planned += totals.FetchBytes;
    full += DownloadList[i].Size;
  }
  DiagLog("delta: %d chunks installed; %ld of %ld bytes to fetch",
          static_cast<int>(Table.Count), static_cast<long>(planned), static_cast<long>(full));
}

void DeltaOrWholeFromSite(TSiteInfo* site, int32_t index) {
  if (Items != nullptr && Items[index].Entry >= 0) {
    DownloadItem& item = DownloadList[index];
    if (Assemble(index, site)) {
      {
        TransferLockGuard lock;
        item.State = kItemDone;
      }
      NoteFileStaged(kSourceMirror);
      return;
    }
    item.Received = 0;
  }
  DownloadFromSite(site, index);
}

void DeltaOrWholeOverSession(DownloadItem& item) {
  int32_t index = static_cast<int32_t>(&item - DownloadList);
  if (Items != nullptr && Items[index].Entry >= 0 && SessionUsable() && Assemble(index, nullptr)) {
    item.Received = Items[index].Fetched;
    item.State = kItemDone;
    NoteFileStaged(kSourceSession);
    return;
  }
  DownloadOverSession(item);
}

void NoteDeltaOutcome() {
  int64_t fetched = 0, full = 0;
  for (int32_t i = 0; Items != nullptr && i < DownloadCount; i++) {
    if (!Items[i].Pending || DownloadList[i].State != kItemDone) continue;
    full += DownloadList[i].Size;
    fetched += Items[i].Done ? Items[i].Fetched : DownloadList[i].Size;
  }
  NoteFetchedBytes(fetched, full);
}
