// Runs the permission repair once on a directory: bench_attributes <directory>.
// Exit status 0 when every entry got the standard attributes, 1 otherwise, 2 on bad usage.
#include <cstdio>

#include "foundation/install_util.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_attributes <directory>\n");
    return 2;
  }
  return rcpinstall::InstallUtil::changeAttributesForDirectory(std::string(argv[1])) ? 0 : 1;
}
