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

bool exists(const std::string& path) {
  struct stat status;
  return !path.empty() && stat(path.c_str(), &status) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat status;
  return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool entryExists(const std::string& path) {
  struct stat status;
  return !path.empty() && lstat(withoutTrailingSlashes(path).c_str(), &status) == 0;
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

std::optional<EntryAttributes> entryAttributes(const std::string& path) {
  struct stat status;
  if (path.empty() || lstat(path.c_str(), &status) != 0) return std::nullopt;
  return EntryAttributes{status.st_uid, status.st_gid, status.st_mode & 07777u,
                         S_ISLNK(status.st_mode)};
}

std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
  Listing listing(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  if (!listing) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent64* entry = listing.next()) names.emplace_back(entry->d_name);
  if (listing.failed()) return std::nullopt;
  return names;
}

}  // namespace rcpinstall::os::FileSystem
