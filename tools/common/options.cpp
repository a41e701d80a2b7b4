#include "tools/common/options.h"

#include <getopt.h>
#include <string.h>

#include <mutex>

namespace tools {

namespace {

// getopt_long keeps its state in globals.
std::mutex g_getoptLock;

const int kHelpId = -2;

}  // namespace

OptionStep ParseCommandLine(int argc, char** argv, const OptionDef* defs, size_t count,
                            void* context, OptionHandler handler,
                            std::vector<std::string>* operands, std::string* error) {
  std::vector<struct option> table;
  for (size_t i = 0; i < count; i++)
    table.push_back({defs[i].name, defs[i].takesValue ? required_argument : no_argument,
                     nullptr, static_cast<int>(i)});
  table.push_back({"help", no_argument, nullptr, kHelpId});
  table.push_back({nullptr, 0, nullptr, 0});

  std::lock_guard<std::mutex> hold(g_getoptLock);
  optind = 0;  // full reset, also of GNU getopt's permutation state
  opterr = 0;  // errors are returned, not printed
  for (;;) {
    int c = getopt_long(argc, argv, ":h", table.data(), nullptr);
    if (c == -1) break;
    if (c == 'h') return OptionStep::Help;
    // The argument that held the option: the last one taken, or the one
    // before it when the value came as the next argument.
    int at = optind - 1;
    if (c != '?' && c != ':' && optarg != nullptr && at > 0 && optarg == argv[at]) at--;
    std::string key = at > 0 && at < argc ? argv[at] : "";
    size_t equals = key.find('=');
    if (equals != std::string::npos) key.resize(equals);
    if (key.compare(0, 2, "--") != 0) key = std::string("-") + static_cast<char>(optopt);
    if (c == '?') {
      *error = "unknown option " + key;
      return OptionStep::Error;
    }
    if (c == ':') {
      *error = key + " needs a value";
      return OptionStep::Error;
    }
    // getopt_long takes unambiguous abbreviations; these tools never did.
    const char* name = c == kHelpId ? "help" : defs[c].name;
    if (key.compare(2, std::string::npos, name) != 0) {
      *error = "unknown option " + key;
      return OptionStep::Error;
    }
    if (c == kHelpId) return OptionStep::Help;
    const OptionDef& def = defs[c];
    OptionStep step = handler(context, def.id, def.takesValue ? optarg : nullptr, error);
    if (step != OptionStep::Next) return step;
  }
  for (int i = optind; i < argc; i++) operands->push_back(argv[i]);
  return OptionStep::Next;
}

OptionStep ParseCommandLine(const std::vector<std::string>& args, const OptionDef* defs,
                            size_t count, void* context, OptionHandler handler,
                            std::vector<std::string>* operands, std::string* error) {
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back("program");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : storage) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(storage.size()), argv.data(), defs, count, context,
                          handler, operands, error);
}

bool ParseDecimal(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long total = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    total = total * 10 + (c - '0');
  }
  if (total < low || total > high) return false;
  *value = total;
  return true;
}

}  // namespace tools
