// Reading the manifest text from its source, and the download list from it.
#include "transfer/manifest_source.h"

#include "config/settings.h"
#include "manifest/download_list.h"
#include "manifest/manifest_text.h"
#include "tinylib/diaglog.h"
#include "tinylib/simple_file.h"
#include "transfer/istream.h"
#include "transfer/protocol.h"
#include "transfer/session.h"
#include "transfer/transfer_buffers.h"

static const char kSessionManifestName[] = "files.ver";

// The manifest at ManifestUrl, one read of at most the read limit.
static int32_t ReadHttpManifest() {
  TIStream stream(InstallSettings.ManifestUrl);
  int32_t count = stream.Read(WorkBuffer, kManifestReadLimit);
  DiagLog("manifest: source %s gave %d bytes", InstallSettings.ManifestUrl,
          static_cast<int>(count));
  return count;
}

// The .ver file beside the program.
static int32_t ReadLocalManifest() {
  char path[kPathCapacity];
  if (!LocalManifestPath(path, ArgCount > 0 ? ArgTable[0] : nullptr)) {
    DiagLog("manifest: no room for a .ver path beside the program");
    return 0;
  }
  int32_t count = ReadFileToBuffer(path, WorkBuffer, kManifestReadLimit);
  DiagLog("manifest: source %s gave %d bytes", path, static_cast<int>(count));
  return count;
}

ManifestText FetchManifestText() {
  ManifestText result = {nullptr, 0, false};
  if (WorkBuffer == nullptr) {
    DiagLog("manifest: no transfer buffer; nothing listed");
    return result;
  }
  int32_t count =
      InstallSettings.ManifestUrl[0] != 0 ? ReadHttpManifest() : ReadLocalManifest();
  if (count != 0) {
    result.Text = WorkBuffer;
    result.Length = count < 0 ? 0 : count;
    // A text that fills the read limit may end inside a line.
    result.MayBeCut = count >= kManifestReadLimit;
    return result;
  }
  // One chunk of "files.ver" from the session host. Without a connection
  // there is nobody to ask, so the text is empty.
  if (SessionChannel == 0) {
    DiagLog("manifest: no session open to ask for %s; nothing to list", kSessionManifestName);
    result.Text = WorkBuffer;
    return result;
  }
  count = RequestChunk(kSessionManifestName, 0);
  DiagLog("manifest: source session %s gave %d bytes", kSessionManifestName,
          static_cast<int>(count));
  // A reply is one chunk at most, and the NUL after it stays inside the
  // buffer's slack.
  result.Text = ReplyData;
  if (count > kSessionChunkSize) count = kSessionChunkSize;
  if (count < 0 || result.Text == nullptr) count = 0;
  result.Length = count;
  result.MayBeCut = count >= kSessionChunkSize;
  return result;
}

void BuildDownloadList() {
  FreeDownloadList();
  ManifestText text = FetchManifestText();
  ManifestFound = text.Text != nullptr && text.Length > 0;
  if (WorkBuffer == nullptr) return;  // logged: nothing is listed, no site added
  ListManifestText(text.Text, text.Length, text.MayBeCut, CurrentManifestSettings(), IsUpToDate);
}
