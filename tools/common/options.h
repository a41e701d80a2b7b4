// Command lines of the server tools: long options through getopt_long, with
// the rules both tools keep: a value after '=' or as the next argument,
// exact option names only, and errors returned as text instead of printed.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace tools {

struct OptionDef {
  const char* name;  // without the leading "--"
  bool takesValue;
  int id;            // handed to the callback
};

// What the callback wants after one option.
enum class OptionStep { Next, Help, Error };

// Called once per option in command-line order; value is null for options
// without one. On Error the callback sets *error.
using OptionHandler = OptionStep (*)(void* context, int id, const char* value,
                                     std::string* error);

// Parses argv (argv[0] is the program name). "-h" is --help (returns Help
// without calling back). Operands (arguments that are not options, and
// everything after "--") are appended to *operands.
OptionStep ParseCommandLine(int argc, char** argv, const OptionDef* defs, size_t count,
                            void* context, OptionHandler handler,
                            std::vector<std::string>* operands, std::string* error);

// The same for a list of arguments without the program name.
OptionStep ParseCommandLine(const std::vector<std::string>& args, const OptionDef* defs,
                            size_t count, void* context, OptionHandler handler,
                            std::vector<std::string>* operands, std::string* error);

// Strict decimal (digits only, at most 9 of them) within [low, high].
bool ParseDecimal(const std::string& text, long low, long high, long* value);

}  // namespace tools
