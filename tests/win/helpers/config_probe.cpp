// Runs the installer's configuration sequence (command line, INSTDATA or
// file name, install folder) and prints the resulting settings, one
// "Field=value" line each, so that end-to-end scripts can check a stamped or
// renamed copy of this program without starting the installer itself.
#include <stdio.h>

#include "config/config.h"
#include "config/settings.h"
#include "install/uninstall.h"
#include "runtime/outcome.h"

int main() {
  const char* source = "command line";
  int32_t count = Tokenize();
  // As the installer does: a command-line uninstall ends the program here.
  if (InstallSettings.UninstallRequested) {
    Uninstall();
    return static_cast<int>(EndRun());
  }
  if (count <= 1) {
    ReadEmbeddedArguments();
    source = InstallSettings.EmbeddedConfig ? "INSTDATA" : "file name";
  }
  ResolveInstallDir();
  LogSettings(source);

  const InstallSettingsRecord& s = InstallSettings;
  printf("Source=%s\nCount=%d\nArgCount=%d\n", source, static_cast<int>(count),
         static_cast<int>(ArgCount));
  printf("HostName=%s\nPort=%d\nInstallDir=%s\nManifestUrl=%s\n", s.HostName,
         static_cast<int>(s.Port), s.InstallDir, s.ManifestUrl);
  printf("LaunchLine=%s\nParamsCode=%s\nLanguage=%s\nDisplayName=%s\n", s.LaunchLine,
         s.ParamsCode, s.Language, s.DisplayName);
  printf("EmbeddedConfig=%d\nSectionSet=%d\nInstallMode=%d\n", static_cast<int>(s.EmbeddedConfig),
         s.SectionSet, static_cast<int>(s.InstallMode));
  printf("FinalizeInstall=%d\nSaasMode=%d\nErpMode=%d\nUninstallRequested=%d\n",
         s.FinalizeInstall, s.SaasMode, s.ErpMode, s.UninstallRequested);
  return 0;
}
