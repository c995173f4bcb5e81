// Held temporary directories on POSIX: a file in the directory locked with flock, which the
// kernel releases when the last descriptor of the lock closes, also at a SIGKILL.
#include "os/held_directory.h"

#include <sys/file.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os/file_system.h"
#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

constexpr const char* kLockFile = ".held";
constexpr time_t kGraceSeconds = 60;

std::string temporaryBase() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

HeldDirectory::HeldDirectory(const std::string& prefix) {
  const std::string base = temporaryBase();
  std::string pattern = appendComponent(base, prefix + ".XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot make a temporary directory in " + base + ": " + std::strerror(errno);
    return;
  }
  const std::string lock = appendComponent(pattern, kLockFile);
  lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
    error_ = "cannot hold the temporary directory " + pattern + ": " + std::strerror(errno);
    FileSystem::removeItem(pattern);
    return;
  }
  path_ = pattern;
}

HeldDirectory::~HeldDirectory() {
  if (lock_ >= 0) ::close(lock_);
}

bool HeldDirectory::remove() {
  if (path_.empty()) return true;
  FileSystem::removeItem(path_);
  return !FileSystem::entryExists(path_);
}

std::vector<std::string> removeUnheldDirectories(const std::string& prefix) {
  std::vector<std::string> removed;
  const std::string base = temporaryBase();
  const std::string start = prefix + ".";
  // The shared directory is opened once; every look, lock and removal below goes through it,
  // so that a name exchanged meanwhile cannot turn the removal onto another tree.
  posix::Descriptor directory(::open(base.c_str(), posix::kDirectoryFlags & ~O_NOFOLLOW));
  if (!directory) return removed;
  posix::Listing listing(::openat(directory.get(), ".", posix::kDirectoryFlags));
  while (const dirent64* entry = listing ? listing.next() : nullptr) {
    const std::string name = entry->d_name;
    if (!name.starts_with(start) || name.size() != start.size() + 6) continue;
    posix::Descriptor held(::openat(directory.get(), name.c_str(), posix::kDirectoryFlags));
    struct stat status;
    if (!held || ::fstat(held.get(), &status) != 0 || status.st_uid != ::geteuid()) continue;
    posix::Descriptor lock(
        ::openat(held.get(), kLockFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!lock) {
      // Made a moment ago and not yet locked, or left by a process killed at that moment.
      if (errno != ENOENT || std::time(nullptr) - status.st_mtime < kGraceSeconds) continue;
    } else if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;  // a live process holds it
    }
    // Removed only when the name still stands for the directory that was looked at.
    struct stat now;
    if (::fstatat(directory.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !posix::sameFile(now, status)) {
      continue;
    }
    if (posix::removeEntryAt(directory.get(), name.c_str(), DT_DIR)) {
      removed.push_back(appendComponent(base, name));
    }
  }
  return removed;
}

}  // namespace rcpinstall::os
