// Bounded texts of the installation steps and the uninstall.
#include "install/install_text.h"

#include <string.h>

#include "tinylib/file_names.h"
#include "tinylib/text.h"
#include "tinylib/text_builder.h"

namespace {

bool IsForbiddenInFileName(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("\\/:*?\"<>|", c) != nullptr;
}

}  // namespace

bool BuildClientArguments(char* dst, size_t capacity, const InstallSettingsRecord& s) {
  TextBuilder out(dst, capacity);
  if (s.SaasMode) {
    out.Text("/XEXTUI /SAAS:");
    out.Text(s.HostName);
    // Only the hosted presets tell the client its language.
    if (s.InstallMode == kModeHosted && s.Language[0] != 0) {
      out.Text(" /LANG:");
      out.Text(s.Language);
    }
  } else if (s.ErpMode) {
    out.Text("/XEXTUI");
  } else {
    out.Text("/SXCO /HOST:");
    out.Text(s.HostName);
    out.Char(':');
    out.Number(s.Port);
  }
  return out.Finish();
}

bool MakeLinkFileName(char* dst, size_t capacity, const char* prefix, const char* displayName) {
  if (capacity == 0) return false;
  // Room for a leading '_' in front of a reserved name.
  char joined[2 * kLinkNameCapacity + 2];
  joined[0] = 0;
  bool whole = true;
  if (prefix != nullptr) whole = AppendTextCut(joined, sizeof joined, prefix);
  if (whole) whole = AppendTextCut(joined, sizeof joined, displayName);

  size_t out = 0;
  if (IsReservedDeviceName(joined, TextLength(joined)) && out + 1 < capacity) dst[out++] = '_';
  for (const char* p = joined; *p != 0; p++) {
    if (out + 1 >= capacity) {
      whole = false;
      break;
    }
    dst[out++] = IsForbiddenInFileName(static_cast<unsigned char>(*p)) ? '_' : *p;
  }
  dst[out] = 0;
  return whole;
}

bool BuildLinkPath(char* dst, size_t capacity, const char* folder, const char* fileName) {
  TextBuilder out(dst, capacity);
  int length = TextLength(folder);
  if (length == 0) return false;  // dst is already empty
  out.Text(folder);
  if (folder[length - 1] != '\\') out.Char('\\');
  out.Text(fileName);
  out.Text(".lnk");
  return out.Finish();
}

bool FolderWithoutBackslash(char* dst, size_t capacity, const char* folder) {
  int length = TextLength(folder);
  if (length > 0 && folder[length - 1] == '\\') length--;
  if (capacity == 0) return false;
  if (static_cast<size_t>(length) >= capacity) {
    dst[0] = 0;
    return false;
  }
  PutChars(dst, folder, length);
  return true;
}

bool BuildParamsUrl(char* dst, size_t capacity, const char* host, const char* code) {
  TextBuilder out(dst, capacity);
  out.Text("http://");
  out.Text(host);
  out.Text("/status/azservice.ashx?op=getparams&code=");
  out.Text(code);
  return out.Finish();
}

ShortcutNameResult ReadShortcutName(const char* reply, int32_t length, char* name,
                                    size_t capacity) {
  if (reply == nullptr || length < kShortcutNameOffset) return kNoShortcutName;
  if (!EqualNoCaseN(reply + kShortcutTagOffset, "SHORTCUT", kShortcutTagLength))
    return kNoShortcutName;
  int32_t end = kShortcutNameOffset;
  while (end < length && reply[end] != '\r' && reply[end] != 0) end++;
  int32_t nameLength = end - kShortcutNameOffset;
  if (nameLength == 0 || capacity == 0) return kShortcutNameEmpty;
  ShortcutNameResult result = kShortcutNameTaken;
  if (static_cast<size_t>(nameLength) >= capacity) {
    nameLength = static_cast<int32_t>(capacity - 1);
    result = kShortcutNameCut;
  }
  PutChars(name, reply + kShortcutNameOffset, nameLength);
  return result;
}

bool IsRecordedLink(const char* line) {
  int length = TextLength(line);
  if (length <= 3 || !EqualNoCase(line + length - 4, ".lnk")) return false;
  // The installer records full paths only; a relative line would name a file
  // in whatever folder the uninstall happens to run in.
  char drive = static_cast<char>(line[0] | 0x20);
  bool drivePath = drive >= 'a' && drive <= 'z' && line[1] == ':' && line[2] == '\\';
  bool networkPath = line[0] == '\\' && line[1] == '\\';
  return drivePath || networkPath;
}

bool BuildRelaunchCommand(char* dst, size_t capacity, const char* copyPath, const char* ownFolder) {
  TextBuilder out(dst, capacity);
  if (strchr(copyPath, '"') != nullptr || strchr(ownFolder, '"') != nullptr)
    return false;  // dst is already empty
  out.Char('"');
  out.Text(copyPath);
  out.Text("\" \"uninstall:");
  out.Text(ownFolder);
  out.Char('"');
  return out.Finish();
}
