// brevane-publish: writes files.ver and the mirror objects of a release
// folder. See --help.
#include "tools/publish/publish.h"

int main(int argc, char** argv) {
  return publish::RunMain(std::vector<std::string>(argv + 1, argv + argc));
}
