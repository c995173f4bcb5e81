// Files and directories on POSIX: existence, type and listing. Every walk of the file-system
// folder goes through directory descriptors (openat and the *at calls relative to the parent
// directory) and never follows a symbolic link it did not ask for, so that a tree someone else
// can write to cannot lead a root process outside it; the walks live beside this file by
// concern (attributes, copy and merge, removal).
#include "os/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os::FileSystem {

using posix::Listing;
using posix::withoutTrailingSlashes;

namespace {

// The status of the entry at the location. Below a root nothing on the way is a link, and a
// final link is followed only for `follow` (a question, never an access).
bool statusOf(const Location& location, bool follow, struct stat& status) {
  const std::string& path = location.path();
  if (path.empty() || location.refused()) return false;
  if (location.roots() == nullptr) {
    return (follow ? stat(path.c_str(), &status)
                   : lstat(withoutTrailingSlashes(path).c_str(), &status)) == 0;
  }
  posix::EntryAt entry;
  if (!posix::openParent(location, entry)) {
    // The outermost root itself.
    posix::Descriptor fd(posix::openPath(location, O_PATH));
    return fd && fstat(fd.get(), &status) == 0;
  }
  return fstatat(entry.directory.get(), entry.name.c_str(), &status,
                 follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool exists(const Location& path) {
  struct stat status;
  return statusOf(path, true, status);
}

bool isDirectory(const Location& path) {
  struct stat status;
  return statusOf(path, true, status) && S_ISDIR(status.st_mode);
}

bool entryExists(const Location& path) {
  struct stat status;
  return statusOf(path, false, status);
}

std::optional<std::string> resolvedPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::optional<std::string> makeTemporaryDirectory(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      appendComponent(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", prefix + ".XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return pattern;
}

std::optional<EntryAttributes> entryAttributes(const Location& path) {
  struct stat status;
  if (!statusOf(path, false, status)) return std::nullopt;
  return EntryAttributes{status.st_uid,
                         status.st_gid,
                         status.st_mode & 07777u,
                         S_ISLNK(status.st_mode),
                         static_cast<long long>(status.st_mtime),
                         static_cast<long long>(status.st_size)};
}

std::optional<std::vector<std::string>> listDirectory(const Location& path) {
  Listing listing(posix::openPath(path, O_RDONLY | O_DIRECTORY | O_NOCTTY));
  if (!listing) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent64* entry = listing.next()) names.emplace_back(entry->d_name);
  if (listing.failed()) return std::nullopt;
  return names;
}

bool syncFileSystemOf(const Location& path) {
  posix::Descriptor fd(posix::openPath(path, O_RDONLY | O_DIRECTORY | O_NOCTTY));
  return fd && syncfs(fd.get()) == 0;
}

}  // namespace rcpinstall::os::FileSystem
