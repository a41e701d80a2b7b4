// The session host's command line.
#include "tools/sessiond/options.h"

#include <vector>

#include "tools/common/options.h"
#include "tools/sessiond/metrics_endpoint.h"

namespace sessiond {

namespace {

enum OptionId {
  kRoot, kAddress, kPort, kCompress, kFirstRequestTimeout, kIdleTimeout, kRequestTimeout,
  kMaxConnections, kMaxPerAddress, kThreads, kCacheSize, kWarm, kLog, kQuiet, kMetrics
};

const tools::OptionDef kOptionDefs[] = {
    {"root", true, kRoot},
    {"address", true, kAddress},
    {"port", true, kPort},
    {"compress", true, kCompress},
    {"first-request-timeout", true, kFirstRequestTimeout},
    {"idle-timeout", true, kIdleTimeout},
    {"request-timeout", true, kRequestTimeout},
    {"max-connections", true, kMaxConnections},
    {"max-per-address", true, kMaxPerAddress},
    {"threads", true, kThreads},
    {"cache-size", true, kCacheSize},
    {"warm", false, kWarm},
    {"log", true, kLog},
    {"quiet", false, kQuiet},
    {"metrics", true, kMetrics},
};

// A number option: its range and the message when it is outside.
struct NumberRule {
  int id;
  long low, high;
  const char* error;
};

const NumberRule kNumberRules[] = {
    {kPort, 0, 65535, "--port must be 0 to 65535"},
    {kFirstRequestTimeout, 1, 86400, "--first-request-timeout must be 1 to 86400 seconds"},
    {kIdleTimeout, 1, 86400, "--idle-timeout must be 1 to 86400 seconds"},
    {kRequestTimeout, 1, 86400, "--request-timeout must be 1 to 86400 seconds"},
    {kMaxConnections, 1, 100000, "--max-connections must be 1 to 100000"},
    {kMaxPerAddress, 0, 100000, "--max-per-address must be 0 to 100000"},
    {kThreads, 1, 64, "--threads must be 1 to 64"},
};

struct Parse {
  ServerOptions* options;
};

tools::OptionStep TakeOption(void* context, int id, const char* text, std::string* error) {
  Parse* parse = static_cast<Parse*>(context);
  ServerOptions* options = parse->options;
  std::string value = text != nullptr ? text : "";
  long number = 0;
  for (const NumberRule& rule : kNumberRules) {
    if (rule.id != id) continue;
    if (!tools::ParseDecimal(value, rule.low, rule.high, &number)) {
      *error = rule.error;
      return tools::OptionStep::Error;
    }
  }
  switch (id) {
    case kRoot: options->root = value; break;
    case kAddress: options->address = value; break;
    case kPort: options->port = static_cast<uint16_t>(number); break;
    case kCompress:
      if (!ParseCompressMode(value, &options->compress)) {
        *error = "--compress must be auto, always or never";
        return tools::OptionStep::Error;
      }
      break;
    case kFirstRequestTimeout: options->firstRequestTimeoutSeconds = static_cast<int>(number); break;
    case kIdleTimeout: options->idleTimeoutSeconds = static_cast<int>(number); break;
    case kRequestTimeout: options->requestTimeoutSeconds = static_cast<int>(number); break;
    case kMaxConnections: options->maxConnections = static_cast<int>(number); break;
    case kMaxPerAddress: options->maxPerAddress = static_cast<int>(number); break;
    case kThreads: options->threads = static_cast<int>(number); break;
    case kCacheSize:
      if (!ParseByteSize(value, &options->cacheBytes)) {
        *error = "--cache-size must be a size such as 512M or 2G (0: no cache)";
        return tools::OptionStep::Error;
      }
      break;
    case kWarm: options->warm = true; break;
    case kLog: options->logPath = value; break;
    case kQuiet: options->quiet = true; break;
    case kMetrics:
      if (!ParseMetricsAddress(value, &options->metricsAddress, &options->metricsPort)) {
        *error = "--metrics must be PORT, ADDRESS:PORT or [IPV6]:PORT";
        return tools::OptionStep::Error;
      }
      options->metrics = true;
      break;
  }
  return tools::OptionStep::Next;
}

}  // namespace

bool ParseByteSize(const std::string& text, int64_t* bytes) {
  std::string digits = text;
  int shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
    }
    if (shift != 0) digits.pop_back();
  }
  long number = 0;
  if (!tools::ParseDecimal(digits, 0, 999999999, &number)) return false;
  int64_t value = static_cast<int64_t>(number) << shift;
  if (value >> shift != number || value > (int64_t(1) << 40)) return false;  // 1 TiB at most
  *bytes = value;
  return true;
}

const char* UsageText() {
  return
      "Usage: brevane-sessiond [options] RELEASE_FOLDER\n"
      "\n"
      "Serves the files of RELEASE_FOLDER (the manifest files.ver and every file it\n"
      "names) to installers over the session protocol. Names arrive '\\'-separated\n"
      "and are looked up below RELEASE_FOLDER only; a name or symbolic link that\n"
      "would lead outside it gets an empty reply.\n"
      "\n"
      "Options:\n"
      "  --root=DIR             the release folder (instead of RELEASE_FOLDER)\n"
      "  --address=ADDR         address to listen on (default 127.0.0.1)\n"
      "  --port=N               port to listen on (default 7000); 0 picks a free port.\n"
      "                         The chosen one is printed as 'listening ADDR:PORT'\n"
      "  --compress=MODE        auto: zlib-compress a chunk when that makes it smaller,\n"
      "                         else scramble it (default); always: compress every\n"
      "                         chunk; never: scramble every chunk\n"
      "  --first-request-timeout=SEC\n"
      "                         close a connection that has not sent a complete\n"
      "                         request SEC seconds after connecting (default 20);\n"
      "                         installers send their first one at once\n"
      "  --idle-timeout=SEC     close a connection that sends no request for SEC\n"
      "                         seconds after its first (default 120: twice the\n"
      "                         60 s an installer waits for data). An installer\n"
      "                         whose session was closed while it downloaded from\n"
      "                         mirrors connects again when it needs the session\n"
      "  --request-timeout=SEC  close a connection that takes longer than SEC seconds\n"
      "                         to finish sending a request or to take a reply\n"
      "                         (default 60)\n"
      "  --max-connections=N    hold at most N connections at once (default: what the\n"
      "                         descriptor limit allows, after raising the soft limit\n"
      "                         to the hard one). At the cap a new connection closes\n"
      "                         the one that has waited idle the longest; one in the\n"
      "                         middle of a request or reply is never closed for it,\n"
      "                         and when every one is, the new one is closed\n"
      "  --max-per-address=N    serve at most N connections from one client address;\n"
      "                         more are closed on arrival (default 0: no cap; a\n"
      "                         whole office may arrive from one address)\n"
      "  --threads=N            threads serving connections (default: one per core)\n"
      "  --cache-size=SIZE      keep finished replies of up to SIZE bytes (K, M, G\n"
      "                         suffixes), least recently used out first, so that a\n"
      "                         chunk is compressed once for every installer; 0 turns\n"
      "                         it off (default: an eighth of memory, at most 256M)\n"
      "  --warm                 fill the cache from the release folder at start\n"
      "  --log=FILE             append the log to FILE instead of standard error\n"
      "  --quiet                log only start, stop and failures to start, not\n"
      "                         requests and connections\n"
      "  --metrics=[ADDR:]PORT  serve the host's counters for Prometheus at\n"
      "                         http://ADDR:PORT/metrics (a bare PORT listens on\n"
      "                         127.0.0.1; default: off)\n"
      "  --help                 show this text\n"
      "\n"
      "RELEASE_FOLDER may be a symbolic link: each new connection resolves it\n"
      "afresh and keeps that release until it closes.\n"
      "SIGTERM or SIGINT closes every connection and exits with status 0. SIGHUP\n"
      "reopens the log file.\n";
}

OptionsResult ParseOptions(int argc, char** argv, ServerOptions* options, std::string* error) {
  Parse parse{options};
  std::vector<std::string> operands;
  switch (tools::ParseCommandLine(argc, argv, kOptionDefs,
                                  sizeof kOptionDefs / sizeof kOptionDefs[0], &parse,
                                  TakeOption, &operands, error)) {
    case tools::OptionStep::Help: return OptionsResult::Help;
    case tools::OptionStep::Error: return OptionsResult::Error;
    case tools::OptionStep::Next: break;
  }
  // --root names the release folder as an operand does; one of them only.
  if (operands.size() > 1 || (!operands.empty() && !options->root.empty())) {
    *error = "more than one release folder given";
    return OptionsResult::Error;
  }
  if (!operands.empty()) options->root = operands[0];
  if (options->root.empty()) {
    *error = "no release folder given";
    return OptionsResult::Error;
  }
  return OptionsResult::Run;
}

}  // namespace sessiond
