// pellinor-stamp: writes, replaces, removes or shows the "INSTDATA" resource
// (the installer's embedded keyword text) of a copy of Pellinor.exe, so that
// a release engineer can configure an installer without a compiler.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

// No wildcard expansion of the arguments: a text may hold '*' or '?'.
extern "C" {
int _dowildcard = 0;
}

namespace {

const char kResourceName[] = "INSTDATA";
// The installer copies the text into 1024 bytes with its terminator.
const size_t kMaxTextBytes = 1023;
// A resource that does not exist yet gets the language windres gives one.
const WORD kDefaultLanguage = 0x409;
// More than this in --file cannot be a keyword text; not read further.
const size_t kMaxFileBytes = 64 * 1024;

enum ExitCode { kExitDone = 0, kExitFailed = 1, kExitNoResource = 2 };

const char kUsage[] =
    "usage:\n"
    "  pellinor-stamp IN.exe OUT.exe --text TEXT   copy IN to OUT with INSTDATA = TEXT\n"
    "  pellinor-stamp IN.exe OUT.exe --file FILE   the same, TEXT read from FILE\n"
    "  pellinor-stamp IN.exe OUT.exe --remove      copy IN to OUT without INSTDATA\n"
    "  pellinor-stamp IN.exe --in-place --text TEXT | --file FILE | --remove\n"
    "                                              change IN itself\n"
    "  pellinor-stamp IN.exe --show                print the INSTDATA text of IN\n"
    "  ... --strip-signature                       with --text/--file/--remove: accept a\n"
    "                                              signed IN and drop its signature\n"
    "  pellinor-stamp --help\n"
    "\n"
    "IN is never changed without --in-place; an existing OUT is replaced.\n"
    "TEXT is the installer's keywords separated by '&', for example\n"
    "  host=server1:7001&dir=%ProgramFiles%\\Brevane\\Client&xco=ON\n"
    "(in INSTDATA the port is written one higher than the port used). At most\n"
    "1023 bytes. Line ends at the end of FILE are dropped. A TEXT that ends in a\n"
    "backslash is best given with --file, since \\\" inside quotes on a command\n"
    "line is read as a quote.\n"
    "\n"
    "Stamp first, sign after: changing the resources of a code-signed program\n"
    "breaks its signature, so a signed IN is refused unless --strip-signature\n"
    "is given, which writes OUT without the signature (sign it again).\n"
    "\n"
    "Exit codes: 0 done, 1 failed (with a message), 2 --show found no INSTDATA.\n";

void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
  fputs("pellinor-stamp: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
}

std::string ErrorText(DWORD error) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = 0;
  // Messages are fetched without inserts; name the file in words instead.
  for (char* insert = strstr(text, "%1"); insert != nullptr; insert = strstr(text, "%1")) {
    insert[0] = 'i';
    insert[1] = 't';
  }
  char code[32];
  snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
  return n > 0 ? std::string(text) + " (" + code + ")" : std::string(code);
}

// A program opened for its resources only; freed on every path out.
class ResourceModule {
 public:
  explicit ResourceModule(const char* path)
      : module_(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~ResourceModule() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  ResourceModule(const ResourceModule&) = delete;
  ResourceModule& operator=(const ResourceModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
  return TRUE;
}

// Reads the languages the resource exists in (none when absent) and the
// bytes of the one the installer would find. False when path is not a
// program whose resources can be read.
bool ReadResource(const char* path, std::vector<WORD>* languages, std::string* text,
                  bool* present) {
  ResourceModule module(path);
  if (module.get() == nullptr) {
    Fail("cannot read the resources of %s: %s", path, ErrorText(GetLastError()).c_str());
    return false;
  }
  languages->clear();
  EnumResourceLanguagesA(module.get(), RT_RCDATA, kResourceName, CollectLanguage,
                         reinterpret_cast<LONG_PTR>(languages));
  // The same lookup as the installer's own.
  HRSRC found = FindResourceA(module.get(), kResourceName, RT_RCDATA);
  *present = found != nullptr;
  text->clear();
  if (found == nullptr) return true;
  HGLOBAL loaded = LoadResource(module.get(), found);
  const char* bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) {
    Fail("INSTDATA of %s cannot be loaded: %s", path, ErrorText(GetLastError()).c_str());
    return false;
  }
  text->assign(bytes, SizeofResource(module.get(), found));
  return true;
}

bool ReadTextFile(const char* path, std::string* text) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    Fail("cannot open %s: %s", path, strerror(errno));
    return false;
  }
  std::vector<char> buffer(kMaxFileBytes + 1);
  size_t n = fread(buffer.data(), 1, buffer.size(), file);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    Fail("cannot read %s", path);
    return false;
  }
  if (n > kMaxFileBytes) {
    Fail("%s is larger than 64 KiB; INSTDATA holds at most 1023 bytes", path);
    return false;
  }
  text->assign(buffer.data(), n);
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  if (text->find('\0') != std::string::npos) {
    Fail("%s holds a zero byte; the installer would stop reading there", path);
    return false;
  }
  return true;
}

bool CheckText(const std::string& text) {
  if (text.empty()) {
    Fail("the text is empty; use --remove to take INSTDATA out");
    return false;
  }
  if (text.size() > kMaxTextBytes) {
    Fail("the text is %u bytes; the installer reads at most %u (nothing written)",
         static_cast<unsigned>(text.size()), static_cast<unsigned>(kMaxTextBytes));
    return false;
  }
  return true;
}

std::string FullPath(const char* path) {
  char full[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  return (n > 0 && n < sizeof full) ? std::string(full) : std::string(path);
}

// True when both names reach the same file: same full path, or (when both
// exist) the same volume and file index, which also catches links.
bool SameFile(const char* a, const char* b) {
  if (lstrcmpiA(FullPath(a).c_str(), FullPath(b).c_str()) == 0) return true;
  BY_HANDLE_FILE_INFORMATION infoA, infoB;
  bool same = false;
  HANDLE fa = CreateFileA(a, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE fb = CreateFileA(b, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (fa != INVALID_HANDLE_VALUE && fb != INVALID_HANDLE_VALUE &&
      GetFileInformationByHandle(fa, &infoA) && GetFileInformationByHandle(fb, &infoB)) {
    same = infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
  }
  if (fa != INVALID_HANDLE_VALUE) CloseHandle(fa);
  if (fb != INVALID_HANDLE_VALUE) CloseHandle(fb);
  return same;
}

// A resource type or name: a number, or a text when name is not empty.
struct ResourceId {
  WORD number = 0;
  std::string name;
  LPCSTR get() const { return name.empty() ? MAKEINTRESOURCEA(number) : name.c_str(); }
};

ResourceId CopyId(LPCSTR id) {
  ResourceId copy;
  if (IS_INTRESOURCE(id)) copy.number = LOWORD(reinterpret_cast<ULONG_PTR>(id));
  else copy.name = id;
  return copy;
}

struct ResourceItem {
  ResourceId type, name;
  WORD language;
  std::string data;
};

struct Collection {
  std::vector<ResourceItem> others;  // every resource but INSTDATA
  std::vector<WORD> instdataLanguages;
  bool failed = false;
};

bool IsInstdata(LPCSTR type, LPCSTR name) {
  return IS_INTRESOURCE(type) && LOWORD(reinterpret_cast<ULONG_PTR>(type)) == 10 /* RT_RCDATA */ &&
         !IS_INTRESOURCE(name) && lstrcmpiA(name, kResourceName) == 0;
}

BOOL CALLBACK OnLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param) {
  Collection* c = reinterpret_cast<Collection*>(param);
  if (IsInstdata(type, name)) {
    c->instdataLanguages.push_back(language);
    return TRUE;
  }
  HRSRC found = FindResourceExA(module, type, name, language);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const char* bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) {
    c->failed = true;
    return FALSE;
  }
  c->others.push_back({CopyId(type), CopyId(name), language,
                       std::string(bytes, SizeofResource(module, found))});
  return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
  EnumResourceLanguagesA(module, type, name, OnLanguage, param);
  return !reinterpret_cast<Collection*>(param)->failed;
}

BOOL CALLBACK OnType(HMODULE module, LPSTR type, LONG_PTR param) {
  EnumResourceNamesA(module, type, OnName, param);
  return !reinterpret_cast<Collection*>(param)->failed;
}

bool CollectResources(const char* path, Collection* c) {
  ResourceModule module(path);
  if (module.get() == nullptr) {
    Fail("cannot read the resources of %s: %s", path, ErrorText(GetLastError()).c_str());
    return false;
  }
  EnumResourceTypesA(module.get(), OnType, reinterpret_cast<LONG_PTR>(c));
  if (c->failed) Fail("a resource of %s cannot be read", path);
  return !c->failed;
}

bool SameResources(const Collection& a, const Collection& b) {
  if (a.others.size() != b.others.size()) return false;
  for (size_t i = 0; i < a.others.size(); i++) {
    const ResourceItem& x = a.others[i];
    const ResourceItem& y = b.others[i];
    if (x.type.number != y.type.number || lstrcmpiA(x.type.name.c_str(), y.type.name.c_str()) != 0 ||
        x.name.number != y.name.number || lstrcmpiA(x.name.name.c_str(), y.name.name.c_str()) != 0 ||
        x.language != y.language || x.data != y.data)
      return false;
  }
  return true;
}

// Where a program keeps its code signature: the security entry of the PE
// data directory, a file offset and length, and where that entry itself is.
struct SignatureSpan {
  DWORD offset = 0, size = 0;
  DWORD entryAt = 0;
};

DWORD ReadLe32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// Reads the security entry of path's PE headers. False (with a message) when
// path is not a program; span->size is 0 when it is not signed.
bool ReadSignatureSpan(const char* path, SignatureSpan* span) {
  unsigned char head[4096];
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    Fail("cannot open %s: %s", path, strerror(errno));
    return false;
  }
  size_t n = fread(head, 1, sizeof head, file);
  fclose(file);
  DWORD pe = n >= 64 ? ReadLe32(head + 0x3c) : 0;
  // Signature, file header (20 bytes), then the optional header's magic.
  if (n < 64 || head[0] != 'M' || head[1] != 'Z' || pe > n - 24 - 2 ||
      memcmp(head + pe, "PE\0\0", 4) != 0) {
    Fail("%s is not a Windows program", path);
    return false;
  }
  DWORD optional = pe + 24;
  unsigned magic = head[optional] | (head[optional + 1] << 8);
  // Data directories follow 96 (PE32) or 112 (PE32+) bytes of fields; the
  // security entry is the fifth, 8 bytes each.
  DWORD directories = optional + (magic == 0x20b ? 112 : 96);
  DWORD counted = directories - 4;  // NumberOfRvaAndSizes sits just before them
  span->entryAt = directories + 4 * 8;
  if ((magic != 0x10b && magic != 0x20b) || span->entryAt + 8 > n) {
    Fail("%s has PE headers this tool does not know", path);
    return false;
  }
  bool hasEntry = ReadLe32(head + counted) > 4;
  span->offset = hasEntry ? ReadLe32(head + span->entryAt) : 0;
  span->size = hasEntry ? ReadLe32(head + span->entryAt + 4) : 0;
  return true;
}

// Drops the signature of path (a copy this tool made): the security entry is
// zeroed and the certificate table, which the format keeps at the end of the
// file, is cut off. False when the table is not where a signer puts it.
bool StripSignature(const char* path, const SignatureSpan& span) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("cannot open %s: %s", path, ErrorText(GetLastError()).c_str());
    return false;
  }
  const unsigned char zero[8] = {};
  DWORD high = 0, written = 0;
  DWORD length = GetFileSize(file, &high);
  bool atEnd = high == 0 && span.offset <= length && length - span.offset == span.size;
  bool ok = atEnd && SetFilePointer(file, static_cast<LONG>(span.entryAt), nullptr, FILE_BEGIN) == span.entryAt &&
            WriteFile(file, zero, sizeof zero, &written, nullptr) && written == sizeof zero &&
            SetFilePointer(file, static_cast<LONG>(span.offset), nullptr, FILE_BEGIN) == span.offset &&
            SetEndOfFile(file);
  CloseHandle(file);
  if (!ok) Fail("%s", atEnd ? "cannot remove the signature" : "the signature is not at the end of the file; not changed");
  return ok;
}

// Writes (text given) or removes (no text) INSTDATA in target, a copy of
// source that this tool made. The resource table is rebuilt from source:
// every other resource is put back byte for byte, and INSTDATA is written
// once, in the language it already had, so the installer cannot find a
// stale copy in another language. (Deleting single resources in place is
// not honoured by every implementation of the update calls.)
bool UpdateTarget(const char* source, const char* target, const std::string* text,
                  bool* changed) {
  *changed = false;
  Collection before;
  if (!CollectResources(source, &before)) return false;
  if (text == nullptr && before.instdataLanguages.empty()) {
    fprintf(stderr, "pellinor-stamp: note: the input has no INSTDATA; the copy is unchanged\n");
    return true;
  }
  WORD keep = before.instdataLanguages.empty() ? kDefaultLanguage : before.instdataLanguages[0];

  HANDLE update = BeginUpdateResourceA(target, TRUE);  // TRUE: start from an empty table
  if (update == nullptr) {
    Fail("cannot open %s for resource updates: %s", target, ErrorText(GetLastError()).c_str());
    return false;
  }
  bool ok = true;
  DWORD error = 0;
  for (const ResourceItem& item : before.others) {
    if (item.data.empty()) {
      fprintf(stderr, "pellinor-stamp: note: an empty resource is left out\n");
      continue;
    }
    if (!UpdateResourceA(update, item.type.get(), item.name.get(), item.language,
                         const_cast<char*>(item.data.data()), static_cast<DWORD>(item.data.size()))) {
      ok = false;
      break;
    }
  }
  if (ok && text != nullptr)
    ok = UpdateResourceA(update, RT_RCDATA, kResourceName, keep, const_cast<char*>(text->data()),
                         static_cast<DWORD>(text->size())) != 0;
  if (!ok) error = GetLastError();
  // TRUE discards the changes: a failed update leaves the file as it was.
  if (!EndUpdateResourceA(update, ok ? FALSE : TRUE) || !ok) {
    if (ok) error = GetLastError();
    Fail("updating the resources of %s failed: %s", target, ErrorText(error).c_str());
    return false;
  }

  // Read it back the way the installer will, and check nothing else moved.
  std::vector<WORD> languages;
  std::string now;
  bool present = false;
  Collection after;
  if (!ReadResource(target, &languages, &now, &present) || !CollectResources(target, &after))
    return false;
  bool written = text != nullptr ? (present && now == *text && languages.size() == 1) : !present;
  if (!written || !SameResources(before, after)) {
    Fail("%s does not read back as written", target);
    return false;
  }
  *changed = true;
  return true;
}

int Show(const char* path) {
  std::vector<WORD> languages;
  std::string text;
  bool present = false;
  if (!ReadResource(path, &languages, &text, &present)) return kExitFailed;
  if (!present) {
    Fail("%s has no INSTDATA resource", path);
    return kExitNoResource;
  }
  if (languages.size() > 1)
    fprintf(stderr, "pellinor-stamp: note: INSTDATA exists in %u languages; shown is the one found first\n",
            static_cast<unsigned>(languages.size()));
  // Binary, so that the text comes out byte for byte.
  _setmode(_fileno(stdout), _O_BINARY);
  fwrite(text.data(), 1, text.size(), stdout);
  fputc('\n', stdout);
  return fflush(stdout) == 0 ? kExitDone : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> paths;
  const char* textArg = nullptr;
  const char* fileArg = nullptr;
  bool remove = false, inPlace = false, show = false, stripSignature = false;
  int actions = 0;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "/?") == 0) {
      fputs(kUsage, stdout);
      return kExitDone;
    } else if (strcmp(a, "--text") == 0 || strcmp(a, "--file") == 0) {
      if (i + 1 >= argc) {
        Fail("%s needs a value", a);
        return kExitFailed;
      }
      (a[2] == 't' ? textArg : fileArg) = argv[++i];
      actions++;
    } else if (strcmp(a, "--remove") == 0) {
      remove = true;
      actions++;
    } else if (strcmp(a, "--show") == 0) {
      show = true;
      actions++;
    } else if (strcmp(a, "--in-place") == 0) {
      inPlace = true;
    } else if (strcmp(a, "--strip-signature") == 0) {
      stripSignature = true;
    } else if (a[0] == '-' && a[1] == '-') {
      Fail("unknown option %s (see --help)", a);
      return kExitFailed;
    } else {
      paths.push_back(a);
    }
  }
  if (actions != 1) {
    Fail("%s", actions == 0 ? "nothing to do: give one of --text, --file, --remove, --show (see --help)"
                      : "give only one of --text, --file, --remove, --show");
    return kExitFailed;
  }
  size_t wantPaths = (show || inPlace) ? 1 : 2;
  if (paths.size() != wantPaths || (show && inPlace)) {
    Fail("%s", show ? "--show takes one program: pellinor-stamp IN.exe --show"
         : inPlace ? "--in-place takes one program: pellinor-stamp IN.exe --in-place ..."
                   : "give the input and the output: pellinor-stamp IN.exe OUT.exe ...");
    return kExitFailed;
  }
  const char* input = paths[0];
  if (show) return Show(input);

  std::string text;
  if (textArg != nullptr) text = textArg;
  if (fileArg != nullptr && !ReadTextFile(fileArg, &text)) return kExitFailed;
  if (!remove && !CheckText(text)) return kExitFailed;
  if (GetFileAttributesA(input) == INVALID_FILE_ATTRIBUTES) {
    Fail("cannot find %s", input);
    return kExitFailed;
  }
  // New resources void a signature made before them: the order is build,
  // stamp, sign. Refused before anything is written.
  SignatureSpan signature;
  if (!ReadSignatureSpan(input, &signature)) return kExitFailed;
  if (signature.size != 0 && !stripSignature) {
    Fail("%s is code-signed, and stamping would break its signature: stamp the unsigned "
         "program first and sign the result (or give --strip-signature to drop the signature)",
         input);
    return kExitFailed;
  }

  // The work is done on a copy; the input is replaced only at the end and
  // only with --in-place.
  std::string output = inPlace ? std::string(input) : std::string(paths[1]);
  if (!inPlace && SameFile(input, output.c_str())) {
    Fail("%s and %s are the same file; use --in-place to change it", input, output.c_str());
    return kExitFailed;
  }
  std::string work = inPlace ? output + ".stamp-tmp" : output;
  if (!CopyFileA(input, work.c_str(), FALSE)) {  // FALSE: replace an existing output
    Fail("cannot copy %s to %s: %s", input, work.c_str(), ErrorText(GetLastError()).c_str());
    return kExitFailed;
  }
  if (signature.size != 0) {
    if (!StripSignature(work.c_str(), signature)) {
      DeleteFileA(work.c_str());
      return kExitFailed;
    }
    fprintf(stderr, "pellinor-stamp: removed the code signature; sign %s again\n", output.c_str());
  }
  bool changed = false;
  if (!UpdateTarget(input, work.c_str(), remove ? nullptr : &text, &changed)) {
    DeleteFileA(work.c_str());
    return kExitFailed;
  }
  if (inPlace && !MoveFileExA(work.c_str(), input, MOVEFILE_REPLACE_EXISTING)) {
    Fail("cannot replace %s: %s", input, ErrorText(GetLastError()).c_str());
    DeleteFileA(work.c_str());
    return kExitFailed;
  }
  if (changed)
    fprintf(stderr, "pellinor-stamp: %s INSTDATA in %s\n", remove ? "removed" : "wrote",
            output.c_str());
  return kExitDone;
}
