// The download list: fetch the manifest text, parse it, and keep every
// selected file that is missing or out of date.
//
// The text comes from the first source that gives any: the manifest URL
// (HTTP), else the .ver file beside the program, and when that gave exactly
// nothing, "files.ver" from the session host.
#include "manifest/download_list.h"

#include <windows.h>
#include <stdlib.h>

#include "app/progress.h"
#include "app/run_control.h"
#include "config/settings.h"
#include "manifest/manifest_text.h"
#include "tinylib/diaglog.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/istream.h"
#include "transfer/session.h"

static const char kSessionManifestName[] = "files.ver";
static const char kLocalManifestExtension[] = "ver";
static const int32_t kLargestTotal = 0x7FFFFFFF;

bool IsUpToDate(const char* path, int32_t size, uint32_t stamp) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(path, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  // A folder of that name is not the file, whatever the entry says.
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if (size == 0) return true;  // existence is enough for an empty entry

  WORD date = 0;
  WORD time = 0;
  // A time outside the DOS range (before 1980) cannot equal any stamp.
  if (!FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time)) return false;
  uint32_t localStamp = (static_cast<uint32_t>(date) << 16) | time;
  // The high part must be 0 too: a file 4 GiB larger is not the same size.
  return size > 0 && found.nFileSizeHigh == 0 &&
         found.nFileSizeLow == static_cast<DWORD>(size) && localStamp == stamp;
}

int32_t ReadFileToBuffer(const char* path, char* buffer) {
  TSimpleFile file(path, 0);
  if (!file.IsOpen()) return 0;
  return file.Read(buffer, kManifestReadLimit);
}

// The manifest at ManifestUrl, one read of at most the read limit.
static int32_t ReadHttpManifest() {
  ReplyData = WorkBuffer;
  TIStream stream(InstallSettings.ManifestUrl);
  int32_t count = stream.Read(WorkBuffer, kManifestReadLimit);
  DiagLog("manifest: source %s gave %d bytes", InstallSettings.ManifestUrl,
          static_cast<int>(count));
  return count;
}

// Forms the program's own path with the extension "ver" in path (260
// bytes). False when the result would not fit: a cut path names some other
// file, so nothing is read then.
static bool LocalManifestPath(char* path) {
  const char* program = ArgCount > 0 ? ArgTable[0] : nullptr;
  if (program == nullptr || program[0] == 0) return false;
  if (!CopyTextCut(path, kPathCapacity, program)) return false;
  // Only a dot in the file name starts an extension; a dot in a folder
  // name does not, so a name without one gets ".ver" appended.
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

// The .ver file beside the program.
static int32_t ReadLocalManifest() {
  char path[kPathCapacity];
  if (!LocalManifestPath(path)) {
    DiagLog("manifest: no room for a .ver path beside the program");
    return 0;
  }
  ReplyData = WorkBuffer;
  int32_t count = ReadFileToBuffer(path, WorkBuffer);
  DiagLog("manifest: source %s gave %d bytes", path, static_cast<int>(count));
  return count;
}

// One chunk of "files.ver" from the session host. Without a connection
// there is nobody to ask, so the text is empty.
static int32_t ReadSessionManifest() {
  if (SessionChannel == 0) {
    DiagLog("manifest: no session open to ask for %s; nothing to list", kSessionManifestName);
    return 0;
  }
  int32_t count = RequestChunk(kSessionManifestName, 0);
  DiagLog("manifest: source session %s gave %d bytes", kSessionManifestName,
          static_cast<int>(count));
  // A reply is one chunk at most, and the NUL after it must stay inside the
  // buffer's slack.
  if (ReplyData == nullptr) return 0;
  if (count > ChunkSize) count = ChunkSize;
  return count;
}

// What the sink keeps while the parser hands over entries.
struct ListBuilder {
  int32_t Capacity;   // records allocated
  int32_t UpToDate;   // entries already present
  int64_t Total;      // sizes listed, not capped
};

static bool ReserveItems(void* context, int32_t lineCount) {
  ListBuilder* builder = static_cast<ListBuilder*>(context);
  if (lineCount <= 0) return true;
  DownloadList = static_cast<DownloadItem*>(malloc(sizeof(DownloadItem) * lineCount));
  if (DownloadList == nullptr) {
    DiagLog("manifest: no memory for %d records; nothing listed", static_cast<int>(lineCount));
    return false;
  }
  builder->Capacity = lineCount;
  return true;
}

static void AddItem(void* context, const ManifestEntry& entry, const char* localPath) {
  ListBuilder* builder = static_cast<ListBuilder*>(context);
  if (IsUpToDate(localPath, entry.Size, entry.Stamp)) {
    DiagLog("manifest: up to date: %s", entry.Name);
    builder->UpToDate++;
    return;
  }
  // At most one entry per line, so this holds; checked so that no record is
  // ever written past the block.
  if (DownloadCount >= builder->Capacity) return;
  DownloadItem& item = DownloadList[DownloadCount];
  PutText(item.Name, entry.Name);
  item.Size = entry.Size;
  item.Stamp = entry.Stamp;
  item.State = kItemPending;
  item.Received = 0;
  DownloadCount++;
  builder->Total += entry.Size;
  DiagLog("manifest: listed %s, %d bytes", entry.Name, static_cast<int>(entry.Size));
}

void BuildDownloadList() {
  FreeDownloadList();
  ManifestFound = false;
  if (WorkBuffer == nullptr) {
    DiagLog("manifest: no transfer buffer; nothing listed");
    return;
  }

  int32_t count;
  if (InstallSettings.ManifestUrl[0] != 0)
    count = ReadHttpManifest();
  else
    count = ReadLocalManifest();
  // The source's own read limit; a text that fills it may end inside a line.
  int32_t limit = kManifestReadLimit;
  if (count == 0) {
    count = ReadSessionManifest();
    limit = ChunkSize;
  }
  char* text = ReplyData;
  if (count < 0 || text == nullptr) count = 0;
  ManifestFound = count > 0;

  ListBuilder builder = {0, 0, 0};
  ManifestSink sink = {&builder, ReserveItems, AddItem};
  // The parser stores the NUL after the text: text[count] lies in the
  // buffer's slack past ChunkSize.
  ParseManifestText(text, count, count >= limit, CurrentManifestSettings(), sink);

  if (DownloadCount > 0) {
    // Give back the records of lines that listed nothing; a failed shrink
    // keeps the larger block, which is just as good.
    void* shrunk = realloc(DownloadList, sizeof(DownloadItem) * DownloadCount);
    if (shrunk != nullptr) DownloadList = static_cast<DownloadItem*>(shrunk);
  }

  // The total is only the 100 % mark of the display: held at the largest
  // 32-bit value rather than wrapped negative.
  int64_t listed = builder.Total < kLargestTotal ? builder.Total : kLargestTotal;
  int64_t total = static_cast<int64_t>(BytesTotal) + builder.Total;
  if (total > kLargestTotal) {
    DiagLog("manifest: total above %d bytes; shown as %d", kLargestTotal, kLargestTotal);
    total = kLargestTotal;
  }
  BytesTotal = static_cast<int32_t>(total);

  if (DownloadCount == 0)
    DiagLog("manifest: nothing to download (%d entries up to date)",
            static_cast<int>(builder.UpToDate));
  else
    DiagLog("manifest: %d files to download, %d bytes (%d entries up to date)",
            static_cast<int>(DownloadCount), static_cast<int>(listed),
            static_cast<int>(builder.UpToDate));
}
