// ASCII text helpers of the tools: names on the wire and in files.ver are
// compared as Windows does, letter case aside, without a locale.
#pragma once

#include <string>

namespace tools {

inline std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

inline bool EqualNoCaseAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() && UpperAscii(a) == UpperAscii(b);
}

// A name as messages show it.
inline std::string Quoted(const std::string& name) { return "'" + name + "'"; }

}  // namespace tools
