// Fresh files at fixed names in shared directories (POSIX).
#include <sys/stat.h>

#include "os/atomic_file.h"
#include "os/shared_files.h"

namespace rcpinstall::os {

bool replaceSharedFileAtomically(const std::string& path, std::string_view contents,
                                 unsigned mode) {
  // Whoever planted a file at the name must not end up owning ours: the file is made afresh,
  // the process's own, with the given mode.
  std::string name;
  return SharedDirectory::holding(path, name)
      .placeFile(name, contents, static_cast<mode_t>(mode & 07777));
}

}  // namespace rcpinstall::os
