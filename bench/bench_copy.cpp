// Runs the merge copy once: bench_copy <source> <destination>.
// Exit status 0 when the destination exists afterwards, 1 otherwise, 2 on bad usage.
#include <cstdio>

#include "foundation/install_util.h"
#include "os/file_system.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_copy <source> <destination>\n");
    return 2;
  }
  rcpinstall::InstallUtil::copyFolderFrom(std::string(argv[1]), std::string(argv[2]));
  return rcpinstall::os::FileSystem::entryExists(argv[2]) ? 0 : 1;
}
