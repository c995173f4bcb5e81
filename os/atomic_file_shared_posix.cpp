// Atomic replacement of fixed names in shared directories (POSIX).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/atomic_file.h"

namespace rcpinstall::os {

bool replaceSharedFileAtomically(const std::string& path, std::string_view contents,
                                 unsigned mode) {
  // Whoever planted a file at the name must not end up owning ours: owner, group and mode are
  // always this process's own and the given mode, never the replaced entry's.
  ReplacementAttributes attributes;
  attributes.owner = ::geteuid();
  attributes.group = ::getegid();
  attributes.mode = static_cast<mode_t>(mode & 07777);
  return replaceFileAtomically(path, contents, attributes);
}

}  // namespace rcpinstall::os
