// Runs the permission repair once on a directory: bench_attributes [--syncfs] <directory>.
// With --syncfs the directory's file system is then synced, as an install syncs the rcp home's
// before it writes the version record. Exit status 0 when every entry got the standard
// attributes (and the sync succeeded), 1 otherwise, 2 on bad usage.
#include <cstdio>
#include <cstring>

#include "foundation/install_util.h"
#include "os/file_system.h"

int main(int argc, char** argv) {
  const bool sync = argc == 3 && std::strcmp(argv[1], "--syncfs") == 0;
  if (argc != 2 && !sync) {
    std::fprintf(stderr, "usage: bench_attributes [--syncfs] <directory>\n");
    return 2;
  }
  const std::string directory = argv[argc - 1];
  const bool repaired = rcpinstall::InstallUtil::changeAttributesForDirectory(directory);
  return repaired && (!sync || rcpinstall::os::FileSystem::syncFileSystemOf(directory)) ? 0 : 1;
}
