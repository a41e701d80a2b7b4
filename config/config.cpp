// Command line, embedded arguments and the keyword pass.
#include "config/config.h"

#include <string.h>

#include "config/fields.h"
#include "config/settings.h"
#include "config/sites.h"
#include "tinylib/diaglog.h"
#include "tinylib/text.h"

// The embedded arguments live here for the life of the process, since
// ArgTable points into them.
static char EmbeddedText[kEmbeddedCapacity];
// Slot 0 when there is no program path at all (an empty command line), so
// that the first embedded argument is still read as a keyword.
static char NoProgramPath[1];

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of a keyword argument starts after the keyword and the one
// separator that follows it. An argument that ends right after the keyword
// has an empty value; the position is never taken past its terminator.
static char* ValueAt(char* argument, int offset) {
  for (int i = 0; i < offset; i++)
    if (argument[i] == 0) return argument + i;
  return argument + offset;
}

bool AddArgument(char* position) {
  if (ArgCount >= kArgTableCapacity) return false;
  ArgTable[ArgCount++] = position;
  return true;
}

int32_t TokenizeText(const char* commandLine) {
  ArgCount = 0;
  char* copy = InstallSettings.CommandLineCopy;
  bool cut = !CopyTextCut(copy, kPathCapacity, commandLine);

  // The line is scanned in the original, so that the end of every argument
  // is known even beyond the copy. An argument is kept when its terminator
  // falls inside the copy; the first that does not is dropped with all that
  // follow, rather than taken half.
  int32_t seen = 0, dropped = 0, ignored = 0;
  bool keywordsEnded = false;  // by "next"
  bool quietMeant = false;     // "quiet" among the keywords, kept or dropped
  const char* p = commandLine;
  while (*p != 0) {
    const char* start;
    const char* end;
    if (*p == '"') {
      start = p + 1;
      end = FindChar(start, '"');
      if (end == nullptr) {  // unclosed: the argument runs to the end of the line
        end = start + TextLength(start);
        p = end;
        DiagLog("config: unclosed quote; argument %d runs to the end of the line", seen);
      } else {
        p = end + 1;
      }
    } else {
      start = p;
      end = p;
      while (*end != 0 && *end != ' ') end++;  // a tab does not end it
      p = (*end == 0) ? end : end + 1;
    }
    while (IsBlank(*p)) p++;
    if (seen > 0 && !keywordsEnded) {
      keywordsEnded = EqualNoCaseN(start, "next", 4);
      quietMeant = quietMeant || EqualNoCaseN(start, "quiet", 5);
    }
    seen++;

    ptrdiff_t endIndex = end - commandLine;
    if (dropped > 0 || endIndex >= kPathCapacity) {
      dropped++;
      continue;
    }
    copy[endIndex] = 0;
    if (!AddArgument(copy + (start - commandLine))) ignored++;
  }
  if (cut) {
    DiagLog("config: command line longer than %d characters; %d argument(s) dropped",
            kPathCapacity - 1, static_cast<int>(dropped));
    InstallSettings.CommandLineTooLong = 1;
    // The run ends with a failure; no box when the line asked for none.
    if (quietMeant) InstallSettings.Quiet = 1;
  }
  if (ignored > 0)
    DiagLog("config: %d argument(s) past slot %d ignored", static_cast<int>(ignored),
            kArgTableCapacity - 1);

  ParseKeywords();
  return seen < kArgTableCapacity ? seen : kArgTableCapacity;
}

bool TakeHostPort(const char* text, bool* dotSeen) {
  const char* colon = FindCharFirst(text, ':');
  int hostLength = colon != nullptr ? static_cast<int>(colon - text) : TextLength(text);
  if (hostLength >= kPathCapacity) {
    DiagLog("config: host refused, longer than %d characters", kPathCapacity - 1);
    *dotSeen = false;
    return false;
  }
  PutChars(InstallSettings.HostName, text, hostLength);
  *dotSeen = memchr(text, '.', static_cast<size_t>(hostLength)) != nullptr;
  if (colon != nullptr) {
    // Embedded arguments carry the port one higher than the one used.
    uint32_t port = DecimalOf(colon + 1) - static_cast<uint32_t>(InstallSettings.EmbeddedConfig);
    InstallSettings.Port = static_cast<int32_t>(port);
    if (InstallSettings.Port < 1 || InstallSettings.Port > 65535)
      DiagLog("config: port %d is outside 1..65535", InstallSettings.Port);
  }
  return true;
}

bool ParseHostPort(const char* text) {
  bool dotSeen = false;
  TakeHostPort(text, &dotSeen);
  return dotSeen;
}

bool AppendLaunchArgument(const char* text) {
  char* line = InstallSettings.LaunchLine;
  int used = TextLength(line);
  int needed = (used > 0 ? 1 : 0) + 2 + TextLength(text);
  if (used + needed >= kPathCapacity) return false;
  char* end = line + used;
  if (used > 0) end = PutChar(end, ' ');
  end = PutChar(end, '"');
  end = PutText(end, text);
  *PutChar(end, '"') = 0;
  return true;
}

void ParseKeywords() {
  bool appending = false;      // set by "next"
  bool launchRefused = false;  // an argument after "next" did not fit
  for (int32_t i = 1; i < ArgCount; i++) {
    char* argument = ArgTable[i];
    if (appending) {
      if (launchRefused) continue;
      if (!AppendLaunchArgument(argument)) {
        // Launching with an argument missing could do something else than
        // asked; launching nothing is the safe side.
        launchRefused = true;
        InstallSettings.LaunchLine[0] = 0;
        DiagLog("config: launch line longer than %d characters; nothing will be launched",
                kPathCapacity - 1);
      }
      continue;
    }
    if (EqualNoCaseN(argument, "next", 4)) {
      appending = true;
    } else if (EqualNoCaseN(argument, "host", 4)) {
      ParseHostPort(ValueAt(argument, 5));
    } else if (EqualNoCaseN(argument, "web:", 4)) {
      AddSite(ValueAt(argument, 4));
    } else if (EqualNoCaseN(argument, "xco", 3) && EqualNoCaseN(ValueAt(argument, 4), "ON", 2)) {
      InstallSettings.FinalizeInstall = 1;
    } else if (EqualNoCaseN(argument, "linkname", 8)) {
      SetDisplayName(ValueAt(argument, 9));
    } else if (EqualNoCaseN(argument, "dir", 3)) {
      SetTextField(InstallSettings.InstallDir, kPathCapacity, ValueAt(argument, 4), "install folder");
    } else if (EqualNoCaseN(argument, "azure", 5)) {
      InstallSettings.InstallMode = kModeAzureKeyword;
    } else if (EqualNoCaseN(argument, "uninstall", 9)) {
      InstallSettings.UninstallRequested = 1;
      if (argument[9] == ':')
        SetTextField(InstallSettings.InstallDir, kPathCapacity, argument + 10, "install folder");
    } else if (EqualNoCaseN(argument, "quiet", 5)) {
      // Unattended runs: nobody could press OK, so the exit code and the
      // log alone tell the outcome.
      InstallSettings.Quiet = 1;
    } else if (EqualNoCaseN(argument, "include", 7)) {
      InstallSettings.SectionSet = static_cast<uint8_t>(DecimalOf(ValueAt(argument, 8)));
    }
  }
}

void AddEmbeddedArguments(const char* bytes, int32_t length) {
  InstallSettings.EmbeddedConfig = 1;
  if (bytes == nullptr || length < 0) length = 0;
  // The text ends at a zero byte, and line ends left by an editor at its
  // end are not part of the last value.
  const char* zero = length > 0 ? static_cast<const char*>(memchr(bytes, 0, static_cast<size_t>(length))) : nullptr;
  if (zero != nullptr) length = static_cast<int32_t>(zero - bytes);
  while (length > 0 && (bytes[length - 1] == '\r' || bytes[length - 1] == '\n')) length--;
  // A cut would leave the last argument half, so an over-long text is not
  // used at all; the file-name setup does not take over either, since the
  // program was meant to be configured by this resource.
  if (length >= kEmbeddedCapacity) {
    DiagLog("config: INSTDATA of %d bytes refused; at most %d are read",
            static_cast<int>(length), kEmbeddedCapacity - 1);
    return;
  }
  memcpy(EmbeddedText, bytes, static_cast<size_t>(length));
  EmbeddedText[length] = 0;

  if (ArgCount == 0) {
    DiagLog("config: no program path; INSTDATA arguments start at slot 1");
    AddArgument(NoProgramPath);
  }
  int32_t ignored = 0;
  if (!AddArgument(EmbeddedText)) ignored++;
  for (int32_t i = 0; i < length; i++) {
    if (EmbeddedText[i] != '&') continue;
    EmbeddedText[i] = 0;
    if (!AddArgument(EmbeddedText + i + 1)) ignored++;
  }
  if (ignored > 0)
    DiagLog("config: %d INSTDATA argument(s) past slot %d ignored", static_cast<int>(ignored),
            kArgTableCapacity - 1);
  ParseKeywords();
}

bool SetTextField(char* field, size_t capacity, const char* value, const char* what) {
  if (!FitsIn(value, capacity)) {
    DiagLog("config: %s refused, longer than %d characters: %.60s...", what,
            static_cast<int>(capacity) - 1, value);
    return false;
  }
  PutText(field, value);
  return true;
}

void SetDisplayName(const char* value) {
  if (!CopyTextCut(InstallSettings.DisplayName, kDisplayNameCapacity, value))
    DiagLog("config: display name cut to %d characters", kDisplayNameCapacity - 1);
}

void LogSettings(const char* source) {
  const InstallSettingsRecord& s = InstallSettings;
  DiagLog("settings from %s; %d argument(s); program path \"%s\"", source,
          static_cast<int>(ArgCount), ArgCount > 0 ? ArgTable[0] : "");
  DiagLog("settings: HostName \"%s\" Port %d InstallDir \"%s\"", s.HostName,
          static_cast<int>(s.Port), s.InstallDir);
  DiagLog("settings: ManifestUrl \"%s\" LaunchLine \"%s\" ParamsCode \"%s\"", s.ManifestUrl,
          s.LaunchLine, s.ParamsCode);
  DiagLog("settings: Language \"%s\" DisplayName \"%s\" SectionSet 0x%02x InstallMode %d",
          s.Language, s.DisplayName, s.SectionSet, static_cast<int>(s.InstallMode));
  DiagLog("settings: FinalizeInstall %d SaasMode %d ErpMode %d UninstallRequested %d "
          "EmbeddedConfig %d",
          s.FinalizeInstall, s.SaasMode, s.ErpMode, s.UninstallRequested,
          static_cast<int>(s.EmbeddedConfig));
}
