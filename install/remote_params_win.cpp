// Remote parameters of a hosted installation: the service's reply is kept as
// "PARAMS.CFG" in the install folder, and a shortcut name in it becomes the
// display name of the shortcuts made next.
#include "install/remote_params.h"

#include <windows.h>

#include "config/install_path.h"
#include "config/settings.h"
#include "deployment.h"
#include "install/install_text.h"
#include "manifest/reserved_names.h"
#include "tinylib/diaglog.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/istream.h"

namespace {

// The reply buffer comes from the heap for the call only.
class HeapBlock {
 public:
  explicit HeapBlock(size_t size) : p_(static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size))) {}
  ~HeapBlock() {
    if (p_ != nullptr) HeapFree(GetProcessHeap(), 0, p_);
  }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  char* get() const { return p_; }

 private:
  char* p_;
};

void StoreReply(char* reply, int32_t length) {
  char path[kPathCapacity];
  if (InstallPath(path, kParamsFileName) == nullptr) {
    DiagLog("params: no path for %s", kParamsFileName);
    return;
  }
  TSimpleFile file = CreateOutputFile(path);
  int32_t written = file.Write(reply, length);
  DiagLog("params: %d of %d bytes stored in %s", static_cast<int>(written), static_cast<int>(length), path);
}

}  // namespace

void FetchRemoteParameters(const char* code) {
  char url[kParamsUrlCapacity];
  if (!BuildParamsUrl(url, sizeof url, PELLINOR_PARAMS_HOST, code)) {
    DiagLog("params: query for code \"%s\" too long; not asked", code);
    return;
  }
  DiagLog("params: asking %s", url);

  TIStream stream(url);
  HeapBlock reply(kParamsReplyCapacity);
  if (reply.get() == nullptr) {
    DiagLog("params: no memory for the reply");
    return;
  }
  int32_t length = stream.IsOpen() ? stream.Read(reply.get(), kParamsReplyCapacity) : 0;
  if (length <= 0) {
    DiagLog("params: no reply (%d); nothing stored", static_cast<int>(length));
    return;
  }
  StoreReply(reply.get(), length);

  // An empty name would give shortcuts called ".lnk": the preset's stays.
  // A name over 63 characters is cut.
  char name[kDisplayNameCapacity];
  ShortcutNameResult found = ReadShortcutName(reply.get(), length, name, sizeof name);
  if (found == kShortcutNameTaken || found == kShortcutNameCut) PutText(InstallSettings.DisplayName, name);
  DiagLog("params: display name \"%s\" (reply's name: 0 none, 1 empty, 2 taken, 3 cut: %d)",
          InstallSettings.DisplayName, static_cast<int>(found));
}
