// The release scan: the walk of the release folder, the rules a name must
// meet for the installer to install it, and which section each file goes to.
#pragma once

#include <stdint.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tools/common/fd.h"
#include "tools/common/file_identity.h"
#include "tools/publish/options.h"

namespace publish {

// Sections of the manifest, by the number the installer gives them.
enum class Section { Client = 1, ServerOnly = 2, OnDemand = 3 };

struct FileEntry {
  std::string name;      // '\'-separated, as in files.ver
  std::string relative;  // '/'-separated below the release folder's descriptor
  // The version the scan judged, on its descriptor: what is read later must
  // be that very file, unchanged.
  tools::FileIdentity identity;
  Section section = Section::Client;
  uint64_t size = 0;
  uint32_t stamp = 0;
  std::string object;  // mirror object name without the month folder
  std::string folder;  // month folder
  uint8_t hash[32] = {};  // SHA-256 of the content, once the file was read
};

// The folders of one run, resolved and checked.
struct ReleaseLayout {
  // The release folder, held open: every file is opened below it with no
  // link followed (tools::OpenBeneath).
  tools::UniqueFd sourceFd;
  std::filesystem::path source;  // canonical release folder
  std::filesystem::path out;     // canonical folder of files.ver
  std::vector<std::vector<std::string>> serverOnly;  // components below source
  std::vector<std::vector<std::string>> onDemand;
};

// The manifest's name, and the prefix of its temporary files.
extern const char kManifestName[];
extern const char kManifestTempPrefix[];
// files.ver.sig beside files.ver; its temporary files share the prefix above.
extern const char kSignatureName[];

// Resolves the folders of the options (making the output folder). False,
// with the reasons in *errors, when the run cannot go on.
bool ResolveLayout(const Options& options, ReleaseLayout* layout,
                   std::vector<std::string>* errors);

// Lists every file below the release folder with its size, stamp, section
// and mirror object name, sorted by name. The walk goes from the folder's
// descriptor one component at a time and follows no link: a link anywhere
// in the release is refused. Each file is judged on its opened descriptor.
// A file that could not be installed adds a line to *errors and is left
// out; false when the folder could not be listed at all.
bool ScanRelease(const ReleaseLayout& layout, std::vector<FileEntry>* files,
                 std::vector<std::string>* errors);

// Names Windows would take for one file, mirror objects of different files
// under one name, and URLs too long for the installer.
void CheckClashes(const std::vector<FileEntry>& files, const Options& options,
                  std::vector<std::string>* errors);

// A time in seconds since 1970 (UTC) as a DOS date and time; false when the
// year is outside 1980..2107, which a DOS date cannot hold.
bool DosStampOfTime(int64_t seconds, uint32_t* stamp);

// Why the installer could not install a file of this manifest name
// ('\'-separated); empty when it can.
std::string NameRefusal(const std::string& name);

}  // namespace publish
