// Setup derived from the program's file name, the hosted presets, and the
// final form of the install folder.
#include "config/config.h"
#include "config/fields.h"
#include "config/settings.h"
#include "deployment.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/folders.h"
#include "tinylib/text.h"

static_assert(sizeof PELLINOR_HOSTED_MANIFEST_URL <= kPathCapacity, "manifest URL too long");
static_assert(sizeof PELLINOR_HOSTED_SESSION_HOST <= kPathCapacity, "session host too long");
static_assert(sizeof PELLINOR_SAAS_DOMAIN_SUFFIX < kPathCapacity, "SaaS suffix too long");

static const char kTenantFolderStart[] = "%AppData%\\Brevane\\";

// A tenant folder must be a folder of its own below "Brevane": an empty
// first field, or one of dots and blanks only (".", ".."), would name
// "Brevane" itself or a folder above it, which an uninstall would empty.
static bool IsTenantFolderName(const char* field) {
  for (const char* p = field; *p != 0; p++)
    if (*p != '.' && *p != ' ') return true;
  return false;
}
static const char kHostedFolder[] = "Brevane\\Azure\\";
static const char kHostedDemoFolder[] = "Brevane\\AzureDemo\\";
static const char kOnPremisesFolder[] = "Brevane\\Brevane\\";
// Manifest sections 1 and 2, "CLIENT" and "SERVERONLY".
static const uint8_t kOnPremisesSections = 6;
// Room SpecialFolderPath needs: a path of 259 characters, '\' and terminator.
static const int kSpecialFolderCapacity = 262;

// InstallDir = the all-users application data folder + below. An unresolved
// folder leaves InstallDir empty (so no job runs) rather than relative to
// whatever the current folder is.
static void SetCommonAppDataFolder(const char* below) {
  char folder[kSpecialFolderCapacity];
  SpecialFolderPath(folder, kCsidlCommonAppData);
  InstallSettings.InstallDir[0] = 0;
  if (folder[0] == 0) {
    DiagLog("config: all-users application data folder unknown; no install folder");
    return;
  }
  if (!AppendTextCut(folder, sizeof folder, below) ||
      !SetTextField(InstallSettings.InstallDir, kPathCapacity, folder, "install folder"))
    InstallSettings.InstallDir[0] = 0;
}

static void SetHostedTexts() {
  PutText(InstallSettings.ManifestUrl, PELLINOR_HOSTED_MANIFEST_URL);
  PutText(InstallSettings.LaunchLine, kLaunchMarker);
}

void ApplyHostedPreset(const char* firstField) {
  InstallSettings.InstallMode = kModeHosted;
  // The language follows "azure", or "azuredemo" for the demonstration variant.
  const char* language = firstField;
  for (int i = 0; i < 5 && *language != 0; i++) language++;
  bool demo = EqualNoCaseN(language, "demo", 4);
  if (demo) language += 4;
  SetTextField(InstallSettings.Language, kLanguageCapacity, language, "language");
  SetCommonAppDataFolder(demo ? kHostedDemoFolder : kHostedFolder);
  JoinText(InstallSettings.DisplayName, "Brevane on Azure", demo ? " Demo" : nullptr);
  SetHostedTexts();
  PutText(InstallSettings.HostName, PELLINOR_HOSTED_SESSION_HOST);
}

void ApplyOnPremisesPreset(const char* languageField) {
  InstallSettings.ErpMode = 1;
  if (languageField != nullptr)
    SetTextField(InstallSettings.Language, kLanguageCapacity, languageField, "language");
  InstallSettings.InstallMode = kModeHosted;
  SetCommonAppDataFolder(kOnPremisesFolder);
  PutText(InstallSettings.DisplayName, "Brevane ERP");
  SetHostedTexts();
  InstallSettings.SectionSet = kOnPremisesSections;
}

void DeriveFromFileName() {
  // An empty command line leaves no program path, hence no name to read.
  if (ArgCount == 0) {
    DiagLog("config: no program path; nothing derived from the file name");
    return;
  }
  char name[kFileNameCapacity];
  if (!CopyTextCut(name, sizeof name, ArgTable[0])) {
    DiagLog("config: program path too long; nothing derived from the file name");
    return;
  }
  InstallSettings.FinalizeInstall = 1;

  char* lastBackslash = FindCharLast(name, '\\');
  char* first = lastBackslash != nullptr ? lastBackslash + 1 : name;
  int length = TextLength(first);
  char* end = first + length;
  // The first character of the name is never a separator nor converted.
  for (int i = length - 1; i >= 1; i--) {
    if (first[i] == '-') first[i] = 0;
    else if (first[i] == '_') first[i] = ' ';
  }
  // Every terminator inside the name now ends a field. The rules need the
  // first four fields and the next-to-last; the count is kept whole.
  char* fields[kNameFieldSlots] = {first};
  char* nextToLast = nullptr;
  char* last = first;
  int32_t count = 1;
  for (char* p = first + 1; p < end; p++) {
    if (*p != 0) continue;
    if (count < kNameFieldSlots) fields[count] = p + 1;
    count++;
    nextToLast = last;
    last = p + 1;
  }

  if (EqualNoCaseN(first, "q9lot", 5)) {
    ApplyOnPremisesPreset(nextToLast);
    return;
  }
  InstallSettings.SaasMode = 1;
  if (count == 1) return;

  InstallSettings.Port = kHostedPort;
  if (IsTenantFolderName(first)) {
    char folder[kFileNameCapacity + sizeof kTenantFolderStart];
    JoinText(folder, kTenantFolderStart, first, "\\");
    SetTextField(InstallSettings.InstallDir, kPathCapacity, folder, "install folder");
  } else {
    DiagLog("config: tenant \"%s\" names no folder of its own; no install folder", first);
  }
  SetDisplayName(first);

  if (EqualNoCaseN(first, "azure", 5)) {
    ApplyHostedPreset(first);
    if (fields[1][0] == '!') {
      SetTextField(InstallSettings.ParamsCode, kPathCapacity, fields[1] + 1, "parameters code");
      for (int i = 1; i + 1 < kNameFieldSlots; i++) fields[i] = fields[i + 1];
      fields[kNameFieldSlots - 1] = nullptr;
      count--;
    }
  } else {
    bool dotSeen = false;
    if (TakeHostPort(first, &dotSeen) && !dotSeen &&
        !AppendTextCut(InstallSettings.HostName, kPathCapacity, PELLINOR_SAAS_DOMAIN_SUFFIX)) {
      // A tenant name without its domain would reach some other host.
      DiagLog("config: host name with its domain is longer than %d characters; refused",
              kPathCapacity - 1);
      InstallSettings.HostName[0] = 0;
    }
  }
  if (count <= 2) return;

  const char* candidate = fields[1];
  if (candidate[0] >= '0' && candidate[0] <= '9') {
    InstallSettings.Port = static_cast<int32_t>(DecimalOf(candidate));
    candidate = count >= 4 ? fields[2] : nullptr;
  }
  if (candidate != nullptr) SetDisplayName(candidate);
}

void ExpandInstallDir(EnvironmentReader read) {
  static const char* const kWords[] = {"%AppData%", "%ProgramFiles%"};
  char* dir = InstallSettings.InstallDir;
  for (const char* word : kWords) {
    int wordLength = TextLength(word);
    if (!EqualNoCaseN(dir, word, wordLength)) continue;

    char variable[16];
    PutChars(variable, word + 1, wordLength - 2);  // without the percent signs
    char value[kExpandBufferCapacity];
    int32_t length = read(variable, value, kEnvironmentValueCapacity);
    // Left unexpanded, "%AppData%\X" would be a folder relative to wherever
    // the program was started; an empty value would put it at the drive
    // root. Neither is where the user's files belong, so nothing is
    // installed instead.
    if (length <= 0 || length >= kEnvironmentValueCapacity) {
      DiagLog("config: %s %s; no install folder", variable,
              length <= 0 ? "is not set" : "is too long");
      dir[0] = 0;
      return;
    }
    value[length] = 0;
    const char* rest = dir + wordLength;
    if (length + TextLength(rest) >= kPathCapacity) {
      DiagLog("config: expanded install folder longer than %d characters; no install folder",
              kPathCapacity - 1);
      dir[0] = 0;
      return;
    }
    AppendText(value, rest);
    PutText(dir, value);
    break;
  }
  // A folder without its backslash would run into the file names joined to it.
  int used = TextLength(dir);
  if (used >= kPathCapacity - 1 && dir[used - 1] != '\\') {
    DiagLog("config: install folder has no room for its backslash; no install folder");
    dir[0] = 0;
    return;
  }
  EnsureBackslash(dir);
}

void ResolveInstallDir() { ExpandInstallDir(ReadEnvironmentValue); }
