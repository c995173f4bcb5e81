// Files at fixed names in shared directories, opened without following what is planted there.
#include "os/shared_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/posix_support.h"

namespace rcpinstall::os {

bool removeSharedEntry(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  // unlink cannot remove a directory, whatever is at the name by now.
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

int openRegularFileTruncated(const std::string& path) {
  // Opened without O_TRUNC first, so that nothing is truncated before it is known to be a
  // regular file; O_NONBLOCK keeps a FIFO from holding the open.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  // A second name for the file (a hard link planted in the shared directory) would let the
  // writer clobber a file elsewhere: only a file with this one name is accepted.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void closeFile(int fd) {
  if (fd >= 0) ::close(fd);
}

bool createFreshFile(const std::string& path, mode_t mode, std::optional<uid_t> owner,
                     std::optional<gid_t> group, const std::string& contents) {
  if (path.empty()) return false;
  // Someone may put a new entry back between the removal and the exclusive create; a few
  // rounds settle that, after which the create is refused.
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    if (!removeSharedEntry(path)) return false;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = posix::writeAll(fd, contents);
  if (ok && (owner || group)) {
    ok = ::fchown(fd, owner.value_or(static_cast<uid_t>(-1)),
                  group.value_or(static_cast<gid_t>(-1))) == 0;
  }
  // After the owner: changing the owner clears set-id bits.
  if (ok) ok = ::fchmod(fd, mode & 07777) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
  }
  return ok;
}

}  // namespace rcpinstall::os
