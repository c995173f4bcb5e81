// Whole-file reads and atomic replacement (POSIX implementation).
#include "os/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/path.h"
#include "os/posix_support.h"
#include "os/system_log.h"

namespace rcpinstall::os {

namespace {

using posix::Descriptor;
using posix::EntryAt;

struct FileSettings {
  bool changeOwner;
  uid_t owner;
  gid_t group;
  mode_t mode;
};

// Writes, syncs, and gives owner, group and mode through the descriptor, which it closes.
bool fill(int fd, std::string_view contents, const FileSettings& settings) {
  bool ok = posix::writeAll(fd, contents) && ::fsync(fd) == 0;
  // Owner first: changing the owner clears set-id bits that the mode then puts back.
  if (ok && settings.changeOwner) ok = ::fchown(fd, settings.owner, settings.group) == 0;
  if (ok) ok = ::fchmod(fd, settings.mode) == 0;
  if (::close(fd) != 0) ok = false;
  return ok;
}

// The new content in a file without a name (O_TMPFILE), named only just before the rename, so
// that a process killed while writing leaves nothing behind. None where the file system
// cannot make such a file or it cannot be named; nothing is then left either.
std::optional<std::string> writeUnnamedTemporary(int directory, const std::string& name,
                                                 std::string_view contents,
                                                 const FileSettings& settings) {
  const int fd = ::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (held < 0 || !fill(fd, contents, settings)) {
    if (held >= 0) ::close(held);
    return std::nullopt;
  }
  const std::string source = "/proc/self/fd/" + std::to_string(held);
  std::optional<std::string> named;
  for (int attempt = 0; attempt < 8 && !named; ++attempt) {
    const std::string candidate = posix::temporaryName(name);
    if (::linkat(AT_FDCWD, source.c_str(), directory, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        ::linkat(held, "", directory, candidate.c_str(), AT_EMPTY_PATH) == 0) {
      named = candidate;
    } else if (errno != EEXIST) {
      break;
    }
  }
  ::close(held);
  return named;
}

// The same in a named temporary file, for file systems without unnamed files.
std::optional<std::string> writeNamedTemporary(int directory, const std::string& name,
                                               std::string_view contents,
                                               const FileSettings& settings) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string candidate = posix::temporaryName(name);
    const int fd = ::openat(directory, candidate.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    if (!fill(fd, contents, settings)) {
      int saved = errno;
      ::unlinkat(directory, candidate.c_str(), 0);
      errno = saved;
      return std::nullopt;
    }
    return candidate;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> readRegularFile(const Location& path, FinalLink finalLink) {
  LimitedRead read = readRegularFileAtMost(path, kReadLimit, finalLink);
  if (read.tooLarge) {
    SystemLog::log(SystemLog::kWarning, "Not reading %s: %s", path.path().c_str(),
                   read.reason.c_str());
  }
  return std::move(read.contents);
}

LimitedRead readRegularFileAtMost(const Location& path, size_t limit, FinalLink finalLink,
                                  bool keepEnd) {
  LimitedRead result;
  const auto failed = [&result](const std::string& reason, int error = 0) {
    result.reason = reason;
    result.error = error;
    return result;
  };
  // O_NONBLOCK so that a FIFO at the path cannot hold the open; only regular files are read.
  const int noFollow = finalLink == FinalLink::kRefuse ? O_NOFOLLOW : 0;
  Descriptor fd(posix::openPath(path, O_RDONLY | O_NONBLOCK | noFollow));
  if (!fd) {
    const int error = errno;
    // Below a root a link where a file should be is no file: someone else put it there.
    if (error == ELOOP && path.roots() != nullptr) {
      SystemLog::log(SystemLog::kWarning, "Not reading %s: a symbolic link stands in its way",
                     path.path().c_str());
    }
    return failed(std::strerror(error), error);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(std::strerror(errno), errno);
  if (!S_ISREG(st.st_mode)) return failed(posix::describeType(st.st_mode) + ", not a regular file");
  const size_t size = static_cast<size_t>(st.st_size);
  if (size > limit) {
    result.tooLarge = true;
    if (!keepEnd) return failed("larger than " + std::to_string(limit) + " bytes");
    if (::lseek(fd.get(), static_cast<off_t>(size - limit), SEEK_SET) < 0)
      return failed(std::strerror(errno), errno);
  }
  std::string contents;
  contents.reserve(std::min(size, limit));
  char buffer[65536];
  for (;;) {
    const size_t room = limit - contents.size();
    ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, room == 0 ? 1 : room));
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(std::strerror(errno), errno);
    }
    if (n == 0) break;
    if (static_cast<size_t>(n) > room) {
      // The file grew past the limit while it was read.
      result.tooLarge = true;
      if (!keepEnd) return failed("larger than " + std::to_string(limit) + " bytes");
      break;
    }
    contents.append(buffer, static_cast<size_t>(n));
  }
  result.contents = std::move(contents);
  return result;
}

bool replaceFileAtomically(const Location& path, std::string_view contents,
                           const ReplacementAttributes& attributes) {
  // Everything happens in the directory as it was opened: a name on the way that is swapped
  // meanwhile cannot move the write elsewhere.
  EntryAt entry;
  if (!posix::openParent(path, entry)) return false;
  return replaceFileAtomicallyAt(entry.directory.get(), entry.name, contents, attributes);
}

bool replaceFileAtomicallyAt(int directory, const std::string& name, std::string_view contents,
                             const ReplacementAttributes& attributes) {
  // The replaced file's mode and, for root, its owner and group carry over; a link or any
  // other kind of entry there is replaced like a missing file (the link itself, never its
  // target).
  mode_t mode = 0644;
  bool keepOwner = false;
  uid_t owner = 0;
  gid_t group = 0;
  struct stat old {};
  if (::fstatat(directory, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
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

  // The rename is durable only once the directory is synced: a directory that cannot be
  // opened for that (an O_PATH descriptor cannot be synced) fails the write before anything
  // changes.
  Descriptor syncable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  if (!syncable) return false;

  // What a killed run of ours left beside the target goes before a new one is made.
  posix::removeStaleTemporaries(directory);
  const FileSettings settings{changeOwner, newOwner, newGroup, mode};
  std::optional<std::string> temporary = writeUnnamedTemporary(directory, name, contents, settings);
  if (!temporary) temporary = writeNamedTemporary(directory, name, contents, settings);
  if (!temporary) return false;
  if (::renameat(directory, temporary->c_str(), directory, name.c_str()) != 0) {
    int saved = errno;
    ::unlinkat(directory, temporary->c_str(), 0);
    errno = saved;
    return false;
  }
  // fsync of the directory makes the rename itself durable; a write that may not survive a
  // power cut is a failed write (the new content stands, but the caller must not vouch for
  // it).
  return posix::syncDirectory(syncable.get());
}

}  // namespace rcpinstall::os
