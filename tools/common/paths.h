// Canonical paths: the tools judge every path after resolving its links, so
// that a link cannot lead a served or published file out of its folder.
#pragma once

#include <filesystem>
#include <string>

namespace tools {

// realpath(): the absolute path with every link, "." and ".." resolved; empty
// with errno set when it does not exist or cannot be resolved.
std::string CanonicalPath(const std::string& path);

// True when inner is outer or lies below it, compared by whole components
// (both already canonical).
bool IsInside(const std::filesystem::path& inner, const std::filesystem::path& outer);

}  // namespace tools
