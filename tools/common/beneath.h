// Opening files below a folder without following links: the release folders
// the tools read are written by others, who may swap any file or sub-folder
// for a link between one look and the next. Resolving each name afresh from
// a descriptor of the folder, refusing a link in every component, leaves no
// window between a check and the open; what was opened is then judged on
// its descriptor.
#pragma once

#include <string>

namespace tools {

// Opens the folder a tool was given (O_DIRECTORY), following links in its
// own name once: that is the operator's choice (a release switch). *canonical
// gets the path of the folder that was opened. -1 with errno set.
int OpenRoot(const std::string& folder, std::string* canonical);

// Opens relative ('/'-separated, not absolute, no ".." component) below the
// folder folderFd with flags (O_RDONLY, O_DIRECTORY, O_NONBLOCK...; O_CLOEXEC
// and O_NOFOLLOW are added). No component may be a symbolic link. Uses
// openat2 (RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) where the kernel has it,
// otherwise a walk one component at a time. Returns the descriptor, or -1
// with errno: ELOOP for a link, EXDEV for a name that would leave the
// folder, otherwise what open() gives.
int OpenBeneath(int folderFd, const char* relative, int flags);

// The walk alone, the way kernels without openat2 go; for tests.
int OpenBeneathByWalk(int folderFd, const char* relative, int flags);

}  // namespace tools
