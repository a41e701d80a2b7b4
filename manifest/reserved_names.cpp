#include "manifest/reserved_names.h"

#include "tinylib/file_names.h"
#include "tinylib/text.h"

const char kLinkListName[] = "linkfiles";
const char kLanguageFileName[] = "install.txt";
const char kParamsFileName[] = "PARAMS.CFG";
const char kStagingFolderName[] = "Pellinor.staging";

namespace {

const char* const kReservedNames[] = {kLinkListName, kLanguageFileName, kParamsFileName,
                                      kStagingFolderName};

}  // namespace

bool IsReservedInstallName(const char* name) {
  if (name == nullptr) return true;
  int length = 0;
  while (name[length] != 0 && !IsSeparator(name[length])) length++;
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) length--;
  if (length == 0) return false;  // nothing that names a file of the folder
  for (const char* reserved : kReservedNames) {
    if (TextLength(reserved) == length && EqualNoCaseN(name, reserved, length)) return true;
  }
  // A short name can open a reserved file of the folder, whichever it is, so
  // it is not compared letter by letter.
  return LooksLikeShortName(name, length);
}
