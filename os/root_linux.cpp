// Roots on Linux: openat2 where the kernel has it, else a walk of O_NOFOLLOW opens, from the
// descriptors a run's Roots hold.
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>

#include "os/path.h"
#include "os/posix_support.h"
#include "os/root.h"

namespace rcpinstall::os {
namespace {

using posix::Descriptor;

// The components that locate an entry: no empty, "." or trailing "/" components.
std::vector<std::string> partsOf(const std::string& path) {
  std::vector<std::string> parts = components(path);
  std::erase_if(parts, [&](const std::string& part) { return part == "."; });
  if (parts.size() > 1 && parts.back() == "/") parts.pop_back();
  return parts;
}

std::optional<std::vector<std::string>> absoluteParts(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::vector<std::string> parts = partsOf(path);
  if (parts.front() == "/") return parts;
  const std::optional<std::string> absolute = absolutePath(path);
  if (!absolute) return std::nullopt;
  return partsOf(*absolute);
}

// How paths below a root are resolved: decided once, by a probe when the first root is
// opened (a kernel without openat2, or a filter that refuses it), or by a test.
enum Method : int { kUnknown, kOpenat2, kWalk };
std::atomic<int> method{kUnknown};

void probeOpenat2(int root) {
  if (method.load(std::memory_order_relaxed) != kUnknown) return;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, root, ".", &how, sizeof how);
  if (fd >= 0) ::close(static_cast<int>(fd));
  int expected = kUnknown;
  method.compare_exchange_strong(expected, fd >= 0 ? kOpenat2 : kWalk);
}

// A rename elsewhere on the file system makes openat2 answer EAGAIN; after this many the walk
// serves the call, which no rename can keep from ending.
constexpr int kOpenat2Retries = 16;

// Opens the components below the root's descriptor, none of them through a link, the last
// one included: with O_PATH a last component that is a link gives the link itself, otherwise
// ELOOP, whichever way resolves.
int openBelow(int root, const std::vector<std::string>& below, int flags, mode_t mode) {
  flags |= O_CLOEXEC;
  if (std::find(below.begin(), below.end(), "..") != below.end()) {
    errno = EXDEV;
    return -1;
  }
  if (below.empty()) return ::openat(root, ".", flags & ~(O_CREAT | O_EXCL));
  std::string joined = below.front();
  for (size_t i = 1; i < below.size(); ++i) joined.append("/").append(below[i]);
  if (method.load(std::memory_order_relaxed) == kOpenat2) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_NOFOLLOW);
    how.mode = (flags & (O_CREAT | __O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int tries = 0; tries < kOpenat2Retries;) {
      const long fd = ::syscall(SYS_openat2, root, joined.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return -1;  // a refusal is a refusal, not a reason to walk
      ++tries;
    }
  }
  // One component at a time: a directory that is a link gives ENOTDIR, a last component that
  // is one gives ELOOP (or, with O_PATH, the link itself, as openat2 does).
  Descriptor current;
  int directory = root;
  for (size_t i = 0; i + 1 < below.size(); ++i) {
    current.reset(
        ::openat(directory, below[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!current) return -1;
    directory = current.get();
  }
  return ::openat(directory, below.back().c_str(), flags | O_NOFOLLOW, mode);
}

constexpr int kListingFlags = O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC;

}  // namespace

Roots::~Roots() {
  for (const Held& held : held_) ::close(held.fd);
}

int Roots::find(const std::string& path, std::vector<std::string>& below, bool strictly) const {
  if (held_.empty()) return -1;
  const std::optional<std::vector<std::string>> parts = absoluteParts(path);
  if (!parts) return -1;
  const Held* best = nullptr;
  for (const Held& held : held_) {
    if (held.parts.size() + (strictly ? 1 : 0) > parts->size()) continue;
    if (best != nullptr && held.parts.size() <= best->parts.size()) continue;
    if (std::equal(held.parts.begin(), held.parts.end(), parts->begin())) best = &held;
  }
  if (best == nullptr) return -1;
  below.assign(parts->begin() + static_cast<long>(best->parts.size()), parts->end());
  return best->fd;
}

bool Roots::add(const std::string& path) {
  const std::optional<std::vector<std::string>> parts = absoluteParts(path);
  if (!parts) return false;
  // Readable, so that the root can be synced; a directory the process may only search is
  // held as a path.
  Location location(path);
  location.roots_ = this;
  std::vector<std::string> below;
  const bool inside = find(path, below, false) >= 0;
  if (!inside) location.roots_ = nullptr;
  int fd = posix::openPath(location, O_RDONLY | O_DIRECTORY | O_NOCTTY);
  if (fd < 0 && errno == EACCES) fd = posix::openPath(location, O_PATH | O_DIRECTORY);
  if (fd < 0) return false;
  probeOpenat2(fd);
  held_.push_back(Held{*parts, fd});
  return true;
}

std::shared_ptr<const Roots> Roots::followingLinks() {
  auto roots = std::make_shared<Roots>();
  roots->followsLinks_ = true;
  return roots;
}

bool Roots::holds(const std::string& path) const {
  if (followsLinks_) return true;
  std::vector<std::string> below;
  return find(path, below, false) >= 0;
}

Location Roots::at(const std::string& path) const {
  Location location(path);
  if (followsLinks_) return location;
  if (holds(path)) {
    location.roots_ = this;
  } else {
    location.refused_ = true;
  }
  return location;
}

bool Roots::syncRoot(const std::string& path) const {
  const std::optional<std::vector<std::string>> parts = absoluteParts(path);
  if (!parts) return false;
  for (const Held& held : held_) {
    if (held.parts == *parts) return ::fsync(held.fd) == 0;
  }
  errno = ENOENT;
  return false;
}

namespace posix {

int openPath(const Location& location, int flags, mode_t mode) {
  if (location.refused()) {
    errno = EXDEV;
    return -1;
  }
  const std::string& path = location.path();
  if (location.roots() != nullptr) {
    std::vector<std::string> below;
    const int root = location.roots()->find(path, below, false);
    if (root < 0) {
      errno = EXDEV;
      return -1;
    }
    return openBelow(root, below, flags, mode);
  }
  // A trailing slash would make the system follow a final link whatever the flags say.
  const std::string trimmed = withoutTrailingSlashes(path);
  return ::open(trimmed.empty() ? path.c_str() : trimmed.c_str(), flags | O_CLOEXEC, mode);
}

bool openParent(const Location& location, EntryAt& entry) {
  if (location.refused()) {
    errno = EXDEV;
    return false;
  }
  const std::string& path = location.path();
  std::vector<std::string> below;
  const int root = location.roots() != nullptr ? location.roots()->find(path, below, true) : -1;
  if (root >= 0 && !below.empty()) {
    entry.name = below.back();
    below.pop_back();
    entry.anchored = true;
    entry.directory.reset(openBelow(root, below, kListingFlags, 0));
    if (!entry.directory && errno == EACCES) {
      entry.directory.reset(openBelow(root, below, O_PATH | O_DIRECTORY, 0));
    }
  } else {
    // Outside every root, or the outermost root itself: its directory is reached by path.
    const std::string trimmed = withoutTrailingSlashes(path);
    entry.name = lastComponent(trimmed);
    entry.anchored = false;
    if (trimmed.empty() || entry.name == "/" || entry.name == "." || entry.name == "..") {
      errno = EINVAL;
      return false;
    }
    const std::string directory = deletingLastComponent(trimmed);
    const std::string parent = directory.empty() ? std::string(".") : directory;
    entry.directory.reset(::open(parent.c_str(), kListingFlags));
    if (!entry.directory && errno == EACCES) {
      entry.directory.reset(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
  }
  return static_cast<bool>(entry.directory);
}

void walkWithoutOpenat2(bool walk) {
  if (walk) {
    method.store(kWalk, std::memory_order_relaxed);
  } else {
    method.store(kUnknown, std::memory_order_relaxed);
    probeOpenat2(AT_FDCWD);
  }
}

bool resolvesWithOpenat2() {
  return method.load(std::memory_order_relaxed) == kOpenat2;
}

void removeStaleTemporaries(int directory) {
  const int fd = ::openat(directory, ".", kListingFlags);
  if (fd < 0) return;
  // In a directory everyone may write (as /tmp) a name of the pattern may be anyone's file:
  // nothing there is swept.
  struct stat shared {};
  if (::fstat(fd, &shared) != 0 || (shared.st_mode & S_IWOTH) != 0) {
    ::close(fd);
    return;
  }
  Listing listing(fd);
  while (const dirent64* entry = listing.next()) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kTemporaryPrefix)) continue;
    struct stat status {};
    if (::fstatat(listing.fd(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      ::unlinkat(listing.fd(), entry->d_name, 0);
    }
  }
}

}  // namespace posix
}  // namespace rcpinstall::os
