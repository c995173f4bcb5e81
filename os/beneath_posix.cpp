// Descriptor-anchored access on Linux: openat2 where the kernel has it, else a walk of
// O_NOFOLLOW opens, from descriptors of the anchors held by AnchorScope.
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>

#include "os/beneath.h"
#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

using posix::Descriptor;

struct Anchor {
  std::vector<std::string> parts;
  int fd;
};

// One process, one thread: the anchors of the scopes open now, innermost last.
std::vector<Anchor>& anchors() {
  static std::vector<Anchor> held;
  return held;
}

// The components that locate an entry: no empty, "." or trailing "/" components.
std::vector<std::string> partsOf(const std::string& path) {
  std::vector<std::string> parts = components(path);
  std::erase_if(parts, [&](const std::string& part) { return part == "."; });
  if (parts.size() > 1 && parts.back() == "/") parts.pop_back();
  return parts;
}

// The anchor that holds the path (the longest one), and the path's components below it.
// With `strictly`, only an anchor above the path counts (the anchor itself is an entry of the
// directory above it).
const Anchor* anchorFor(const std::string& path, std::vector<std::string>& below,
                        bool strictly = false) {
  if (anchors().empty() || path.empty()) return nullptr;
  std::vector<std::string> parts = partsOf(path);
  if (parts.front() != "/") {
    const std::optional<std::string> absolute = absolutePath(path);
    if (!absolute) return nullptr;
    parts = partsOf(*absolute);
  }
  const Anchor* best = nullptr;
  for (const Anchor& anchor : anchors()) {
    if (anchor.parts.size() > parts.size() - (strictly ? 1 : 0)) continue;
    if (best != nullptr && anchor.parts.size() <= best->parts.size()) continue;
    if (std::equal(anchor.parts.begin(), anchor.parts.end(), parts.begin())) best = &anchor;
  }
  if (best != nullptr)
    below.assign(parts.begin() + static_cast<long>(best->parts.size()), parts.end());
  return best;
}

// How paths below an anchor are resolved: decided once, by a probe when the first anchor is
// opened (a kernel without openat2, or a filter that refuses it), or by a test.
enum Method : int { kUnknown, kOpenat2, kWalk };
std::atomic<int> method{kUnknown};

void probeOpenat2(int anchor) {
  if (method.load(std::memory_order_relaxed) != kUnknown) return;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, anchor, ".", &how, sizeof how);
  if (fd >= 0) ::close(static_cast<int>(fd));
  int expected = kUnknown;
  method.compare_exchange_strong(expected, fd >= 0 ? kOpenat2 : kWalk);
}

// A rename elsewhere on the file system makes openat2 answer EAGAIN; after this many the walk
// serves the call, which no rename can keep from ending.
constexpr int kOpenat2Retries = 16;

// Opens the components below the anchor's descriptor, none of them through a link, the last
// one included: with O_PATH a last component that is a link gives the link itself, otherwise
// ELOOP, whichever way resolves.
int openBelow(int anchor, const std::vector<std::string>& below, int flags, mode_t mode) {
  flags |= O_CLOEXEC;
  if (std::find(below.begin(), below.end(), "..") != below.end()) {
    errno = EXDEV;
    return -1;
  }
  if (below.empty()) return ::openat(anchor, ".", flags & ~(O_CREAT | O_EXCL));
  std::string joined = below.front();
  for (size_t i = 1; i < below.size(); ++i) joined.append("/").append(below[i]);
  if (method.load(std::memory_order_relaxed) == kOpenat2) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_NOFOLLOW);
    how.mode = (flags & (O_CREAT | __O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int tries = 0; tries < kOpenat2Retries;) {
      const long fd = ::syscall(SYS_openat2, anchor, joined.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return -1;  // a refusal is a refusal, not a reason to walk
      ++tries;
    }
  }
  // One component at a time: a directory that is a link gives ENOTDIR, a last component that
  // is one gives ELOOP (or, with O_PATH, the link itself, as openat2 does).
  Descriptor current;
  int directory = anchor;
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

AnchorScope::~AnchorScope() {
  for (int fd : held_) {
    std::erase_if(anchors(), [fd](const Anchor& anchor) { return anchor.fd == fd; });
    ::close(fd);
  }
}

bool AnchorScope::add(const std::string& path) {
  if (path.empty()) return false;
  // Opened as the path leads now, links in it followed, unless an anchor already holds it.
  const int fd = posix::openPath(path, O_PATH | O_DIRECTORY);
  if (fd < 0) return false;
  probeOpenat2(fd);
  const std::optional<std::string> absolute = absolutePath(path);
  if (!absolute) {
    ::close(fd);
    return false;
  }
  held_.push_back(fd);
  anchors().push_back(Anchor{partsOf(*absolute), fd});
  return true;
}

bool isAnchored(const std::string& path) {
  std::vector<std::string> below;
  return anchorFor(path, below) != nullptr;
}

namespace posix {

int openPath(const std::string& path, int flags, mode_t mode) {
  std::vector<std::string> below;
  if (const Anchor* anchor = anchorFor(path, below))
    return openBelow(anchor->fd, below, flags, mode);
  return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

bool openParent(const std::string& path, EntryAt& entry) {
  std::vector<std::string> below;
  const Anchor* anchor = anchorFor(path, below, true);
  if (anchor != nullptr && !below.empty()) {
    entry.name = below.back();
    below.pop_back();
    entry.anchored = true;
    entry.directory.reset(openBelow(anchor->fd, below, kListingFlags, 0));
    if (!entry.directory && errno == EACCES) {
      entry.directory.reset(openBelow(anchor->fd, below, O_PATH | O_DIRECTORY, 0));
    }
  } else {
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
