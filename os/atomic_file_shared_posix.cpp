// Whole-file read and atomic replacement for fixed names in shared directories (POSIX).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/atomic_file.h"

namespace rcpinstall::os {

std::optional<std::string> readSharedRegularFile(const std::string& path) {
  // O_NOFOLLOW refuses a link planted at the name; O_NONBLOCK keeps a FIFO from holding the
  // open; fstat then admits regular files only.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string contents;
  if (st.st_size > 0) contents.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

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
