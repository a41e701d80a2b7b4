// The publisher: scan, check, compress, write. Everything the installer
// could not fetch or install is refused before anything is written, and
// files.ver is replaced only after every mirror object it names is in place,
// so a server never offers a manifest whose objects are missing.
#include "tools/publish/publish.h"

#include <stdio.h>

#include "tools/publish/manifest_writer.h"
#include "tools/publish/mirror_writer.h"

namespace publish {

int Publish(const Options& options, Report* report) {
  std::vector<std::string>* errors = &report->errors;
  ReleaseLayout layout;
  if (!ResolveLayout(options, &layout, errors)) return 1;
  std::vector<FileEntry> files;
  if (!ScanRelease(layout, &files, errors)) return 1;
  CheckClashes(files, options, errors);
  std::string text = ManifestText(files, options);
  CheckManifest(text, files, options, errors);
  if (!errors->empty()) return 1;

  report->files = files.size();
  report->manifestBytes = text.size();
  if (!options.mirror.empty() && !WriteMirror(options, files, report)) return 1;
  std::string error;
  if (!WriteManifest(layout.out / kManifestName, text, &error)) {
    errors->push_back(error);
    return 1;
  }
  return 0;
}

int RunMain(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  switch (ParseOptions(args, &options, &error)) {
    case OptionsResult::Help:
      fputs(UsageText(), stdout);
      return 0;
    case OptionsResult::Error:
      fprintf(stderr, "brevane-publish: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsResult::Run:
      break;
  }
  Report report;
  int status = Publish(options, &report);
  for (const std::string& line : report.errors)
    fprintf(stderr, "brevane-publish: %s\n", line.c_str());
  if (status != 0) {
    fprintf(stderr, "brevane-publish: nothing published; files.ver is unchanged\n");
    return status;
  }
  printf("files.ver: %zu files, %zu bytes\n", report.files, report.manifestBytes);
  if (!options.mirror.empty())
    printf("mirror: %zu objects written, %zu kept; top level: %zu linked, %zu copied, %zu kept\n",
           report.objectsWritten, report.objectsKept, report.topLinked, report.topCopied,
           report.topKept);
  return 0;
}

}  // namespace publish
