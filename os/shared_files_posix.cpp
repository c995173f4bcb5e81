// Files at fixed names in shared directories, reached through the directory's descriptor and
// never by path again.
#include "os/shared_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "os/atomic_file.h"
#include "os/path.h"
#include "os/posix_support.h"
#include "os/system_log.h"
#include "os/user_identity.h"

namespace rcpinstall::os {

namespace {

using posix::Descriptor;

// Writes, syncs, and gives owner, group and mode (after the owner: a new owner clears set-id
// bits) through the descriptor.
bool fill(int fd, std::string_view contents, mode_t mode, std::optional<uid_t> owner,
          std::optional<gid_t> group) {
  bool ok = posix::writeAll(fd, contents) && ::fsync(fd) == 0;
  if (ok && (owner || group)) {
    ok = ::fchown(fd, owner.value_or(static_cast<uid_t>(-1)),
                  group.value_or(static_cast<gid_t>(-1))) == 0;
  }
  return ok && ::fchmod(fd, mode & 07777) == 0;
}

// Links an unnamed file at the name: through /proc (which any process may), else directly
// (which needs the power to read through any descriptor).
bool linkUnnamed(int file, int directory, const std::string& name) {
  const std::string source = "/proc/self/fd/" + std::to_string(file);
  if (::linkat(AT_FDCWD, source.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  if (errno == EEXIST) return false;
  return ::linkat(file, "", directory, name.c_str(), AT_EMPTY_PATH) == 0;
}

}  // namespace

bool isOwnedByThisRunsUsers(uid_t owner) {
  if (owner == 0 || owner == ::geteuid()) return true;
  const std::optional<std::string> user = invokingUserName();
  const std::optional<uid_t> invoking = user ? lookupUserId(*user) : std::nullopt;
  return invoking && *invoking == owner;
}

SharedDirectory::SharedDirectory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  if (!check()) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
}

SharedDirectory::SharedDirectory(const std::string& path, bool noLink)
    : SharedDirectory(::open(path.c_str(), posix::kDirectoryFlags & ~(noLink ? 0 : O_NOFOLLOW)),
                      path) {}

SharedDirectory::SharedDirectory(SharedDirectory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      owner_(other.owner_),
      group_(other.group_) {}

SharedDirectory::~SharedDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

bool SharedDirectory::check() {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  owner_ = st.st_uid;
  group_ = st.st_gid;
  if (isOwnedByThisRunsUsers(st.st_uid)) return true;
  SystemLog::log(SystemLog::kWarning, "Not using %s: it belongs to another user (uid %u)",
                 path_.c_str(), static_cast<unsigned>(st.st_uid));
  return false;
}

SharedDirectory SharedDirectory::holding(const std::string& path, std::string& name) {
  const std::string trimmed = posix::withoutTrailingSlashes(path);
  name = lastComponent(trimmed);
  std::string parent = deletingLastComponent(trimmed);
  if (parent.empty()) parent = ".";
  if (trimmed.empty() || name == "/" || name == "." || name == "..") {
    return SharedDirectory(-1, parent);
  }
  return SharedDirectory(parent, false);
}

SharedDirectory SharedDirectory::subdirectory(const std::string& name, bool create,
                                              bool* made) const {
  const std::string path = appendComponent(path_, name);
  if (made != nullptr) *made = false;
  if (fd_ < 0) return SharedDirectory(-1, path);
  if (create && ::mkdirat(fd_, name.c_str(), 0700) == 0 && made != nullptr) *made = true;
  return SharedDirectory(::openat(fd_, name.c_str(), posix::kDirectoryFlags), path);
}

bool SharedDirectory::setAttributes(std::optional<uid_t> owner, std::optional<gid_t> group,
                                    mode_t mode) {
  if (fd_ < 0) return false;
  if ((owner || group) && ::fchown(fd_, owner.value_or(static_cast<uid_t>(-1)),
                                   group.value_or(static_cast<gid_t>(-1))) != 0) {
    return false;
  }
  return ::fchmod(fd_, mode & 07777) == 0 && check();
}

std::optional<std::string> SharedDirectory::readFile(const std::string& name, size_t limit) const {
  if (fd_ < 0) return std::nullopt;
  Descriptor fd(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const std::string path = appendComponent(path_, name);
  if (st.st_nlink != 1 || !isOwnedByThisRunsUsers(st.st_uid)) {
    SystemLog::log(SystemLog::kWarning, "Not reading %s: another user (uid %u) may have made it",
                   path.c_str(), static_cast<unsigned>(st.st_uid));
    return std::nullopt;
  }
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    SystemLog::log(SystemLog::kWarning, "Not reading %s: larger than %zu bytes", path.c_str(),
                   limit);
    return std::nullopt;
  }
  std::string contents;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    if (contents.size() + static_cast<size_t>(n) > limit) return std::nullopt;
    contents.append(buffer, static_cast<size_t>(n));
  }
  return contents;
}

bool SharedDirectory::removeEntry(const std::string& name) {
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!isOwnedByThisRunsUsers(st.st_uid)) {
    SystemLog::log(SystemLog::kWarning, "Removing %s, which another user (uid %u) left there",
                   appendComponent(path_, name).c_str(), static_cast<unsigned>(st.st_uid));
  }
  // Without AT_REMOVEDIR the call cannot remove a directory, whatever is at the name by now.
  return ::unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT;
}

bool SharedDirectory::placeFile(const std::string& name, std::string_view contents, mode_t mode,
                                std::optional<uid_t> owner, std::optional<gid_t> group) {
  if (fd_ < 0 || name.empty() || name.find('/') != std::string::npos) return false;
  Descriptor unnamed(::openat(fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (unnamed && !fill(unnamed.get(), contents, mode, owner, group)) return false;
  // Someone may put a new entry back between the removal and the link or exclusive create; a
  // few rounds settle that, after which the file is not made.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!removeEntry(name)) return false;
    if (unnamed) {
      if (linkUnnamed(unnamed.get(), fd_, name)) return true;
      if (errno == EEXIST) continue;
      return false;
    }
    Descriptor fd(
        ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (fill(fd.get(), contents, mode, owner, group)) return true;
    // What was made half goes, unless the name stands for something else by now.
    const int saved = errno;
    struct stat made {};
    struct stat there {};
    if (::fstat(fd.get(), &made) == 0 &&
        ::fstatat(fd_, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        posix::sameFile(made, there)) {
      ::unlinkat(fd_, name.c_str(), 0);
    }
    errno = saved;
    return false;
  }
  errno = EEXIST;
  return false;
}

bool SharedDirectory::replaceFile(const std::string& name, std::string_view contents,
                                  const ReplacementAttributes& attributes) {
  return fd_ >= 0 && replaceFileAtomicallyAt(fd_, name, contents, attributes);
}

int SharedDirectory::openTruncated(const std::string& name) {
  if (fd_ < 0) return -1;
  // Opened without O_TRUNC first, so that nothing is truncated before it is known to be a
  // regular file of this run's users; O_NONBLOCK keeps a FIFO from holding the open. A file
  // that is there is opened without O_CREAT, which the system refuses for another's file in a
  // sticky directory.
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  Descriptor fd(::openat(fd_, name.c_str(), kFlags));
  for (int attempt = 0; attempt < 3 && !fd && errno == ENOENT; ++attempt) {
    fd.reset(::openat(fd_, name.c_str(), kFlags | O_CREAT | O_EXCL, 0644));
    if (!fd && errno == EEXIST) fd.reset(::openat(fd_, name.c_str(), kFlags));
  }
  struct stat st {};
  // A second name for the file (a hard link planted here) would let the writer clobber a
  // file elsewhere: only a file with this one name is accepted.
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return -1;
  if (!isOwnedByThisRunsUsers(st.st_uid)) {
    SystemLog::log(SystemLog::kWarning, "Not writing %s: it belongs to another user (uid %u)",
                   appendComponent(path_, name).c_str(), static_cast<unsigned>(st.st_uid));
    return -1;
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
      ::ftruncate(fd.get(), 0) != 0) {
    return -1;
  }
  return fd.release();
}

int openRegularFileTruncated(const std::string& path) {
  std::string name;
  return SharedDirectory::holding(path, name).openTruncated(name);
}

void closeFile(int fd) {
  if (fd >= 0) ::close(fd);
}

bool removeSharedEntry(const std::string& path) {
  std::string name;
  return SharedDirectory::holding(path, name).removeEntry(name);
}

bool createFreshFile(const std::string& path, mode_t mode, std::optional<uid_t> owner,
                     std::optional<gid_t> group, const std::string& contents) {
  std::string name;
  return SharedDirectory::holding(path, name).placeFile(name, contents, mode, owner, group);
}

std::optional<std::string> readSharedFile(const std::string& path, size_t limit) {
  std::string name;
  return SharedDirectory::holding(path, name).readFile(name, limit);
}

}  // namespace rcpinstall::os
