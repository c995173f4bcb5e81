// Whole-file reads and atomic replacement (POSIX implementation).
#include "os/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os {

namespace {

// fsync of the directory makes the rename itself durable. Some file systems refuse to fsync
// a directory; the replacement has happened by then, so that is not a failure.
void syncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::optional<std::string> readRegularFile(const std::string& path, FinalLink finalLink) {
  // O_NONBLOCK so that a FIFO at the path cannot hold the open; only regular files are read.
  const int noFollow = finalLink == FinalLink::kRefuse ? O_NOFOLLOW : 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | noFollow);
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

bool replaceFileAtomically(const std::string& path, std::string_view contents,
                           const ReplacementAttributes& attributes) {
  const std::string name = lastComponent(path);
  if (path.empty() || name == "/" || name == "." || name == "..") return false;
  std::string directory = deletingLastComponent(path);
  // A bare name lives in the working directory.
  if (directory.empty()) directory.push_back('.');

  // The replaced file's mode and, for root, its owner and group carry over; a link or any
  // other kind of entry there is replaced like a missing file (the link itself, never its
  // target).
  mode_t mode = 0644;
  bool keepOwner = false;
  uid_t owner = 0;
  gid_t group = 0;
  struct stat old {};
  if (::lstat(path.c_str(), &old) == 0) {
    if (S_ISDIR(old.st_mode)) return false;
    if (S_ISREG(old.st_mode)) {
      mode = old.st_mode & 07777;
      keepOwner = ::geteuid() == 0;
      owner = old.st_uid;
      group = old.st_gid;
    }
  }

  if (attributes.mode) mode = *attributes.mode & 07777;
  uid_t newOwner = attributes.owner.value_or(keepOwner ? owner : static_cast<uid_t>(-1));
  gid_t newGroup = attributes.group.value_or(keepOwner ? group : static_cast<gid_t>(-1));
  const bool changeOwner = newOwner != static_cast<uid_t>(-1) || newGroup != static_cast<gid_t>(-1);

  std::string pattern = appendComponent(directory, "." + name + ".XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const std::string temporary(buffer.data());

  bool ok = posix::writeAll(fd, contents) && ::fsync(fd) == 0;
  // Owner first: changing the owner clears set-id bits that the mode then puts back.
  if (ok && changeOwner) ok = ::fchown(fd, newOwner, newGroup) == 0;
  if (ok) ok = ::fchmod(fd, mode) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  syncDirectory(directory);
  return true;
}

}  // namespace rcpinstall::os
