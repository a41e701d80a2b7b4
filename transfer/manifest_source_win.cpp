// Reading the manifest text (and its signature) from its source, and the
// download list from it.
#include "transfer/manifest_source.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "config/settings.h"
#include "manifest/download_list.h"
#include "manifest/manifest_text.h"
#include "manifest/release_key.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/sha256.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/istream.h"
#include "transfer/protocol.h"
#include "transfer/session.h"
#include "transfer/staging.h"
#include "transfer/transfer_buffers.h"

static const char kSessionManifestName[] = "files.ver";
static const char kSignatureSuffix[] = ".sig";
// Bytes per read from HTTP or a file; the block grows as the text does.
static const int32_t kManifestPiece = 65536;


namespace {

// The text as it grows: one block, one byte more than the text for the
// parser's NUL, never above Limit (plus one byte that tells a text over it
// from one at it).
struct TextBlock {
  char* Bytes;
  int32_t Length;
  int32_t Capacity;
  int32_t Limit;
  bool NoMemory;
};

// Room for count more bytes at Bytes + Length; false when the block cannot
// grow (no memory) or the text would pass the bound by more than a byte.
bool MakeRoom(TextBlock& block, int32_t count) {
  int64_t needed = static_cast<int64_t>(block.Length) + count + 1;
  if (needed <= block.Capacity) return true;
  const int64_t most = static_cast<int64_t>(block.Limit) + 2;
  if (needed > most) return false;
  int64_t capacity = block.Capacity > 0 ? block.Capacity : kManifestPiece;
  while (capacity < needed) capacity *= 2;
  if (capacity > most) capacity = most;
  char* grown = static_cast<char*>(realloc(block.Bytes, static_cast<size_t>(capacity)));
  if (grown == nullptr) {
    block.NoMemory = true;
    return false;
  }
  block.Bytes = grown;
  block.Capacity = static_cast<int32_t>(capacity);
  return true;
}

// Reads the stream to its end, or to one byte past the bound. False when a
// read failed: the text would be a part.
bool ReadStream(TBaseStream& stream, TextBlock& block) {
  for (;;) {
    int32_t want = kManifestPiece;
    int32_t left = block.Limit + 1 - block.Length;
    if (left <= 0) return true;
    if (want > left) want = left;
    if (!MakeRoom(block, want)) return true;  // NoMemory tells
    int32_t got = stream.Read(block.Bytes + block.Length, want);
    if (got < 0) return false;
    block.Length += got;
    if (got < want) return true;  // the end
  }
}

void ReadHttpManifest(TextBlock& block) {
  TIStream stream(InstallSettings.ManifestUrl);
  ReadStream(stream, block);
  DiagLog("manifest: source %s gave %d bytes", InstallSettings.ManifestUrl,
          static_cast<int>(block.Length));
}

// The .ver file beside the program; false when there is no room for its path.
bool LocalManifestFile(char* path) {
  if (LocalManifestPath(path, ArgCount > 0 ? ArgTable[0] : nullptr)) return true;
  DiagLog("manifest: no room for a .ver path beside the program");
  return false;
}

// False when the file exists but cannot be read whole (in use, a folder of
// that name, a failed read): that source failed, and the session is not
// asked in its place.
bool ReadLocalManifest(TextBlock& block) {
  char path[kPathCapacity];
  if (!LocalManifestFile(path)) return true;
  TSimpleFile file(path, 0);
  bool read = file.IsOpen() ? ReadStream(file, block)
                            : GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
  DiagLog("manifest: source %s gave %d bytes%s", path, static_cast<int>(block.Length),
          read ? "" : "; it exists but cannot be read");
  return read;
}

// A session file chunk after chunk, until a short chunk ends it. False when
// a reply failed after the first chunk: the text would be a part.
bool ReadSessionFile(const char* name, TextBlock& block) {
  for (int32_t offset = 0;; offset += kSessionChunkSize) {
    int32_t count = RequestChunk(name, offset);
    if (count < 0 || ReplyData == nullptr) {
      DiagLog("manifest: source session %s failed at %d", name, static_cast<int>(offset));
      // Nothing at all is an empty text, as when the host has no manifest.
      return offset == 0;
    }
    if (count > kSessionChunkSize) count = kSessionChunkSize;
    // Past the bound one byte is kept, to tell, and nothing more is read.
    bool over = block.Length + count > block.Limit;
    int32_t take = over ? block.Limit + 1 - block.Length : count;
    if (!MakeRoom(block, take)) return true;
    memcpy(block.Bytes + block.Length, ReplyData, static_cast<size_t>(take));
    block.Length += take;
    if (over || count < kSessionChunkSize) break;
  }
  DiagLog("manifest: source session %s gave %d bytes", name, static_cast<int>(block.Length));
  return true;
}

// Seconds since 1970 UTC, from the system clock. FILETIME counts 100 ns
// from 1601; the division by 10,000,000 (128 * 78125) is a shift and a long
// division in 32-bit steps, so that no 64-bit division routine is linked in.
int64_t UnixNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) >> 7;
  const uint32_t kDivisor = 78125;
  uint64_t seconds = 0;
  uint32_t remainder = 0;  // below 2^17, so 8 more bits still fit
  for (int shift = 56; shift >= 0; shift -= 8) {
    uint32_t part = (remainder << 8) | static_cast<uint32_t>((ticks >> shift) & 0xFF);
    seconds = (seconds << 8) | (part / kDivisor);
    remainder = part % kDivisor;
  }
  const int64_t kSeconds1601To1970 = 11644473600LL;
  return static_cast<int64_t>(seconds) - kSeconds1601To1970;
}

// Whether the manifest is the publisher's: signed by the compiled-in key,
// unaltered, not older than a release accepted here, not expired. *serial
// is the accepted release's.
bool ReleaseAccepted(const ManifestText& text, uint32_t* serial) {
  int32_t length;
  char* signature = ReadBesideManifest(text.Source, kSignatureSuffix, kSignatureTextLimit, &length);
  uint8_t digest[kSha256Length];
  bool hashed = Sha256Of(text.Text, text.Length, digest);
  uint32_t highest = LoadReleaseSerial();
  ReleaseSignature accepted;
  ReleaseVerdict verdict = hashed ? CheckReleaseManifest(kReleaseKey, length > 0 ? signature : nullptr,
                                                         length, digest, UnixNow(), highest, &accepted)
                                  : kReleaseOk;
  free(signature);
  if (!hashed) {
    DiagLog("manifest: the SHA-256 of the manifest cannot be computed; refused");
    NoteRunFailure("the file list cannot be verified");
    return false;
  }
  if (verdict != kReleaseOk) {
    DiagLog("manifest: release refused: %s (highest serial accepted here: %lu); nothing listed",
            ReleaseVerdictText(verdict), static_cast<unsigned long>(highest));
    char reason[kOutcomeReasonCapacity];
    CopyTextCut(reason, sizeof reason, "the file list was refused: ");
    AppendTextCut(reason, sizeof reason, ReleaseVerdictText(verdict));
    NoteRunFailure(reason);
    return false;
  }
  *serial = accepted.Serial;
  DiagLog("manifest: signed release %lu accepted", static_cast<unsigned long>(accepted.Serial));
  return true;
}

}  // namespace

ManifestText FetchManifestText() {
  ManifestText result = {nullptr, 0, false, false, kManifestFromNowhere};
  TextBlock block = {nullptr, 0, 0, kManifestSizeLimit, false};
  if (InstallSettings.ManifestUrl[0] != 0) {
    ReadHttpManifest(block);
    result.Source = kManifestFromHttp;
  } else {
    result.ReadFailed = !ReadLocalManifest(block);
    result.Source = kManifestFromFile;
  }
  if (block.Length == 0 && !block.NoMemory && !result.ReadFailed) {
    // "files.ver" from the session host. Without a connection there is
    // nobody to ask, so the text is empty.
    if (SessionChannel == 0) {
      DiagLog("manifest: no session open to ask for %s; nothing to list", kSessionManifestName);
    } else {
      result.Source = kManifestFromSession;
      result.ReadFailed = !ReadSessionFile(kSessionManifestName, block);
    }
  }
  if (block.NoMemory) {
    DiagLog("manifest: no memory for a text of %d bytes", static_cast<int>(block.Length));
    result.ReadFailed = true;
  }
  result.TooLarge = block.Length > kManifestSizeLimit;
  // An empty text still gets its block, for the parser's NUL.
  if (!result.TooLarge && !result.ReadFailed && MakeRoom(block, 0)) {
    result.Text = block.Bytes;
    result.Length = block.Length;
    return result;
  }
  free(block.Bytes);
  if (result.TooLarge) result.Length = block.Length;
  return result;
}

char* ReadBesideManifest(ManifestSource source, const char* suffix, int32_t limit,
                         int32_t* length) {
  char name[kPathCapacity];
  TextBlock block = {nullptr, 0, 0, limit, false};
  bool named = source == kManifestFromHttp   ? CopyTextCut(name, sizeof name, InstallSettings.ManifestUrl)
               : source == kManifestFromFile ? LocalManifestFile(name)
                                             : source == kManifestFromSession &&
                                                   CopyTextCut(name, sizeof name, kSessionManifestName);
  // A cut name would be some other file's: nothing is read then.
  named = named && AppendTextCut(name, sizeof name, suffix);
  if (named && source == kManifestFromHttp) {
    TIStream stream(name);
    ReadStream(stream, block);
  } else if (named && source == kManifestFromFile) {
    TSimpleFile file(name, 0);
    if (file.IsOpen()) ReadStream(file, block);
  } else if (named) {
    ReadSessionFile(name, block);
  }
  DiagLog("manifest: %s gave %d bytes", named ? name : suffix, static_cast<int>(block.Length));
  *length = block.Length;
  return block.Bytes;
}

void FreeManifestText(ManifestText* text) {
  free(text->Text);
  text->Text = nullptr;
  text->Length = 0;
}

ListedManifest BuildDownloadList() {
  ListedManifest listed = {false, 0, kManifestFromNowhere, {}};
  uint32_t serial = 0;  // stays 0 in a keyless build
  FreeDownloadList();
  ManifestText text = FetchManifestText();
  if (text.TooLarge) {
    DiagLog("manifest: over %d bytes; refused, nothing listed", kManifestSizeLimit);
    NoteRunFailure("the file list is larger than this installer reads");
    return listed;
  }
  if (text.ReadFailed) {
    NoteRunFailure("the file list could not be read whole");
    return listed;
  }
  if (text.Text == nullptr || text.Length == 0) {
    FreeManifestText(&text);
    return listed;
  }
  if (kHaveReleaseKey && !ReleaseAccepted(text, &serial)) {
    FreeManifestText(&text);
    return listed;
  }
  listed.Source = text.Source;
  // No digest, no index: the delta path then stays unused.
  if (!Sha256Of(text.Text, text.Length, listed.Digest)) listed.Source = kManifestFromNowhere;
  int32_t unhashed = ListManifestText(text.Text, text.Length, CurrentManifestSettings(),
                                      IsUpToDate, kHaveReleaseKey);
  FreeManifestText(&text);
  if (unhashed > 0) {
    NoteRunFailure("the signed file list names files without a hash");
    return listed;
  }
  listed.Found = true;
  listed.AcceptedSerial = serial;
  return listed;
}
