// Manifest text: from bytes to entries and sites.
#include "manifest/manifest_text.h"

#include "config/settings.h"
#include "manifest/reserved_names.h"
#include "tinylib/diaglog.h"
#include "tinylib/file_names.h"
#include "tinylib/simple_strings.h"
#include "tinylib/text.h"

static const char kCR = 0x0D;
static const char kLF = 0x0A;

// Section names in the order they are tested; their index + 1 is the number.
static const char* const kSectionNames[] = {"CLIENT", "SERVERONLY", "ONDEMAND", "SITES"};
static const int32_t kSectionNameCount = sizeof kSectionNames / sizeof kSectionNames[0];

// Numbers are read in 64 bits and held at just above 32 bits, so that a long
// run of digits is seen as too large instead of wrapping to a small value.
static const uint64_t kNumberCeiling = 0x100000000ull;
static const uint64_t kLargestSize = 0x7FFFFFFFull;

static uint64_t ReadBoundedDecimal(const char*& cursor) {
  uint64_t value = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    value = value * 10 + static_cast<uint64_t>(*cursor - '0');
    if (value > kNumberCeiling) value = kNumberCeiling;
    cursor++;
  }
  return value;
}

ManifestSettings CurrentManifestSettings() {
  ManifestSettings settings;
  settings.SectionSet = InstallSettings.SectionSet;
  settings.InstallMode = InstallSettings.InstallMode;
  settings.Language = InstallSettings.Language;
  settings.InstallDir = InstallSettings.InstallDir;
  return settings;
}

int32_t SectionNumber(const char* text) {
  for (int32_t i = 0; i < kSectionNameCount; i++) {
    if (EqualNoCaseN(text, kSectionNames[i], TextLength(kSectionNames[i]))) return i + 1;
  }
  return kSectionNone;
}

FileLineResult ParseFileLine(const char* line, ManifestEntry* entry) {
  const char* equals = FindCharFirst(line, '=');
  int32_t nameLength = equals != nullptr ? static_cast<int32_t>(equals - line) : TextLength(line);
  // A longer name cut to fit would name some other file.
  if (nameLength >= kManifestNameCapacity) return kFileLineNameTooLong;
  char name[kManifestNameCapacity];
  PutChars(name, line, nameLength);
  if (!IsSafeRelativeName(name)) return kFileLineUnsafeName;
  if (IsReservedInstallName(name)) return kFileLineReservedName;

  uint64_t size = 0;
  uint64_t stamp = 0;
  const char* hashField = nullptr;
  if (equals != nullptr) {
    const char* cursor = equals + 1;
    size = ReadBoundedDecimal(cursor);
    // The stamp starts one character after the size digits: that character
    // is the separator, normally ','.
    if (*cursor != 0) {
      bool commaBeforeStamp = *cursor == ',';
      cursor++;
      stamp = ReadBoundedDecimal(cursor);
      if (commaBeforeStamp && *cursor == ',') hashField = cursor + 1;
    }
  }
  uint8_t hash[kSha256Size];
  if (hashField != nullptr && !ParseSha256Hex(hashField, hash)) return kFileLineBadHash;
  // No file that large can be installed, and as a signed size it would turn
  // negative.
  if (size > kLargestSize) return kFileLineSizeTooLarge;
  if (stamp >= kNumberCeiling) return kFileLineStampTooLarge;

  PutText(entry->Name, name);
  entry->Size = static_cast<int32_t>(size);
  entry->Stamp = static_cast<uint32_t>(stamp);
  entry->HasHash = hashField != nullptr;
  for (int i = 0; i < kSha256Size; i++) entry->Hash[i] = entry->HasHash ? hash[i] : 0;
  return kFileLineOk;
}

static const char kLowerHexDigits[] = "0123456789abcdef";

bool ParseSha256Hex(const char* text, uint8_t hash[kSha256Size]) {
  uint8_t value[kSha256Size];
  for (int i = 0; i < kSha256Size; i++) {
    // A terminator reads as a non-digit, so a short text stops here.
    int high = LowerHexValue(text[2 * i]);
    if (high < 0) return false;
    int low = LowerHexValue(text[2 * i + 1]);
    if (low < 0) return false;
    value[i] = static_cast<uint8_t>(high << 4 | low);
  }
  if (text[2 * kSha256Size] != 0) return false;
  for (int i = 0; i < kSha256Size; i++) hash[i] = value[i];
  return true;
}

void FormatSha256Hex(const uint8_t hash[kSha256Size], char text[kSha256HexCapacity]) {
  for (int i = 0; i < kSha256Size; i++) {
    text[2 * i] = kLowerHexDigits[hash[i] >> 4];
    text[2 * i + 1] = kLowerHexDigits[hash[i] & 0x0F];
  }
  text[2 * kSha256Size] = 0;
}

bool LanguageAllowsFor(const char* name, int32_t installMode, const char* language) {
  if (installMode != kModeHosted) return true;
  const char* slash = FindCharFirst(name, '\\');
  if (slash == nullptr) return true;
  if (language[0] == 0) return false;
  // EqualNoCaseN stops at the first difference, so a language shorter than
  // the folder fails at its terminator.
  return EqualNoCaseN(language, name, static_cast<int>(slash - name));
}

bool LanguageAllows(const char* name) {
  return LanguageAllowsFor(name, InstallSettings.InstallMode, InstallSettings.Language);
}

static const char* DropReason(FileLineResult result) {
  switch (result) {
    case kFileLineNameTooLong: return "name over 63 characters";
    case kFileLineUnsafeName: return "name not a plain relative path";
    case kFileLineReservedName: return "name reserved for the installer's own files";
    case kFileLineSizeTooLarge: return "size above 2147483647";
    case kFileLineStampTooLarge: return "stamp above 32 bits";
    case kFileLineBadHash: return "hash field not 64 lowercase hex digits";
    default: return "rejected";
  }
}

// Keeps only the complete lines of a text that may have been cut: the bytes
// after its last CR are a line whose end was never read.
static int32_t CompleteLinesLength(const char* text, int32_t length) {
  int32_t end = length;
  while (end > 0 && text[end - 1] != kCR) end--;
  if (end > 0 && end < length && text[end] == kLF) end++;  // the LF of a CR LF
  if (end < length)
    DiagLog("manifest: read limit reached, last line dropped (%d bytes)", length - end);
  return end;
}

int32_t ParseManifestText(char* text, int32_t length, bool cutByReadLimit,
                          const ManifestSettings& settings, const ManifestSink& sink) {
  if (text == nullptr || length < 0) length = 0;
  if (length > 0 && cutByReadLimit) length = CompleteLinesLength(text, length);
  if (text != nullptr) text[length] = 0;
  TSimpleStrings lines(text, length);

  bool listing = sink.Entry != nullptr &&
                 (sink.Reserve == nullptr || sink.Reserve(sink.Context, lines.Count));
  if (!listing) DiagLog("manifest: no room for %d entries; only sites are read", lines.Count);

  int32_t delivered = 0;
  int32_t section = kSectionNone;
  const char* installDir = settings.InstallDir != nullptr ? settings.InstallDir : "";
  const char* language = settings.Language != nullptr ? settings.Language : "";
  int32_t installDirLength = TextLength(installDir);
  for (int32_t i = 0; i < lines.Count; i++) {
    char* line = lines.Items[i];
    if (line[0] == 0) continue;
    if (line[0] == '[') {
      section = SectionNumber(line + 1);
      continue;
    }
    if (section == kSectionSites) {
      if (sink.Site != nullptr) sink.Site(sink.Context, line);
      continue;
    }
    if (!listing || (settings.SectionSet & (1u << section)) == 0) continue;

    ManifestEntry entry;
    FileLineResult result = ParseFileLine(line, &entry);
    if (result != kFileLineOk) {
      DiagLog("manifest line %d dropped, %s: %.80s", i + 1, DropReason(result), line);
      continue;
    }
    if (installDirLength + TextLength(entry.Name) >= kManifestPathCapacity) {
      DiagLog("manifest line %d dropped, path over %d characters: %s", i + 1,
              kManifestPathCapacity - 1, entry.Name);
      continue;
    }
    if (!LanguageAllowsFor(entry.Name, settings.InstallMode, language)) {
      DiagLog("manifest line %d dropped, not language %s: %s", i + 1, language, entry.Name);
      continue;
    }
    char localPath[kManifestPathCapacity];
    JoinText(localPath, installDir, entry.Name);
    sink.Entry(sink.Context, entry, localPath);
    delivered++;
  }
  if (lines.Truncated()) DiagLog("manifest: lines after %d not read (no memory)", lines.Count);
  return delivered;
}
