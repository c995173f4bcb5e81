// Files and directories on POSIX. Every walk goes through directory descriptors (openat and the
// *at calls relative to the parent directory) and never follows a symbolic link it did not ask
// for, so that a tree someone else can write to cannot lead a root process outside it.
#include "os/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "os/user_identity.h"

namespace rcpinstall::os::FileSystem {
namespace {

// A directory opened to be walked: never through a link, never as a controlling terminal.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr uid_t kKeepOwner = static_cast<uid_t>(-1);
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and tells whether the close reported an error (a late write failure).
  bool close() {
    int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

constexpr size_t kListingBufferSize = 32 * 1024;

// Listing buffers handed from one directory to the next during a walk, so that a walk of
// thousands of directories allocates only one buffer per level of depth.
class BufferPool {
 public:
  std::unique_ptr<char[]> take() {
    if (free_.empty()) return std::make_unique<char[]>(kListingBufferSize);
    std::unique_ptr<char[]> buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
  }
  void give(std::unique_ptr<char[]> buffer) { free_.push_back(std::move(buffer)); }

 private:
  std::vector<std::unique_ptr<char[]>> free_;
};

// The entries of an open directory, read in large batches with getdents64 (no status call and
// no allocation per entry), skipping "." and "..". Owns the descriptor.
class Listing {
 public:
  explicit Listing(int fd, BufferPool* pool = nullptr) : fd_(fd), pool_(pool) {
    if (fd_) buffer_ = pool_ ? pool_->take() : std::make_unique<char[]>(kListingBufferSize);
  }
  ~Listing() {
    if (pool_ && buffer_) pool_->give(std::move(buffer_));
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  bool failed() const { return failed_; }

  // The next entry, or none at the end of the directory or on a read error (see failed).
  const dirent64* next() {
    for (;;) {
      if (position_ >= filled_) {
        ssize_t length = getdents64(fd_.get(), buffer_.get(), kListingBufferSize);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) {
          if (length < 0) failed_ = true;
          position_ = filled_ = 0;
          return nullptr;
        }
        filled_ = static_cast<size_t>(length);
        position_ = 0;
      }
      auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + position_);
      position_ += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      return entry;
    }
  }

  // Starts the listing over.
  bool rewind() {
    position_ = filled_ = 0;
    failed_ = false;
    return lseek(fd_.get(), 0, SEEK_SET) == 0;
  }

 private:
  Descriptor fd_;
  BufferPool* pool_;
  std::unique_ptr<char[]> buffer_;
  size_t position_ = 0;
  size_t filled_ = 0;
  bool failed_ = false;
};

// A path naming the entry itself: trailing "/" would make the system resolve a final link.
std::string withoutTrailingSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Attributes with the names looked up.
struct Target {
  uid_t owner = kKeepOwner;
  gid_t group = kKeepGroup;
  bool changeMode = false;
  mode_t mode = 0;
};

// False when a given name is unknown; that attribute is then left alone and the rest applies.
bool resolve(const Attributes& attributes, Target& target) {
  bool known = true;
  if (attributes.owner) {
    if (auto uid = lookupUserId(*attributes.owner)) {
      target.owner = *uid;
    } else {
      known = false;
    }
  }
  if (attributes.group) {
    if (auto gid = lookupGroupId(*attributes.group)) {
      target.group = *gid;
    } else {
      known = false;
    }
  }
  if (attributes.mode) {
    target.changeMode = true;
    target.mode = *attributes.mode & 07777;
  }
  return known;
}

// fchmodat2 (Linux 6.6) changes a mode without following a final link in one call; glibc's
// fchmodat with AT_SYMLINK_NOFOLLOW does the same on older kernels through an O_PATH
// descriptor, at the cost of four calls.
#if defined(SYS_fchmodat2)
constexpr long kFchmodat2 = SYS_fchmodat2;
#elif defined(__x86_64__) || defined(__aarch64__) || defined(__i386__) || defined(__arm__) || \
    defined(__riscv)
constexpr long kFchmodat2 = 452;
#else
constexpr long kFchmodat2 = -1;
#endif
std::atomic<bool> fchmodat2Missing{kFchmodat2 < 0};

int changeModeAt(int directory, const char* name, mode_t mode) {
  if (!fchmodat2Missing.load(std::memory_order_relaxed)) {
    if (syscall(kFchmodat2, directory, name, mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
    if (errno == ENOSYS) {
      fchmodat2Missing.store(true, std::memory_order_relaxed);
    } else if (errno != EPERM) {  // EPERM may also come from a filter that hides the call
      return -1;
    }
  }
  return fchmodat(directory, name, mode, AT_SYMLINK_NOFOLLOW);
}

bool needsChange(const struct stat& status, const Target& target) {
  return (target.owner != kKeepOwner && status.st_uid != target.owner) ||
         (target.group != kKeepGroup && status.st_gid != target.group) ||
         (target.changeMode && !S_ISLNK(status.st_mode) && (status.st_mode & 07777) != target.mode);
}

// Gives the entry (whose own status, links not followed, is `status`) the target attributes
// where they differ. A link gets owner and group only; its target is never touched.
bool applyAt(int directory, const char* name, const struct stat& status, const Target& target) {
  bool ok = true;
  uid_t owner =
      target.owner != kKeepOwner && status.st_uid != target.owner ? target.owner : kKeepOwner;
  gid_t group =
      target.group != kKeepGroup && status.st_gid != target.group ? target.group : kKeepGroup;
  mode_t current = status.st_mode & 07777;
  if (owner != kKeepOwner || group != kKeepGroup) {
    if (fchownat(directory, name, owner, group, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
    } else if ((current & (S_ISUID | S_ISGID)) != 0 && !S_ISLNK(status.st_mode)) {
      // A change of owner may have cleared set-user-id and set-group-id; look again.
      struct stat now;
      if (fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0) current = now.st_mode & 07777;
    }
  }
  if (target.changeMode && !S_ISLNK(status.st_mode) && current != target.mode) {
    if (changeModeAt(directory, name, target.mode) != 0) ok = false;
  }
  return ok;
}

// The same for an open directory, through its descriptor (directories keep their set-group-id
// bit across a change of owner).
bool applyToOpenDirectory(int fd, const struct stat& status, const Target& target) {
  uid_t owner =
      target.owner != kKeepOwner && status.st_uid != target.owner ? target.owner : kKeepOwner;
  gid_t group =
      target.group != kKeepGroup && status.st_gid != target.group ? target.group : kKeepGroup;
  bool ok = (owner == kKeepOwner && group == kKeepGroup) || fchown(fd, owner, group) == 0;
  if (target.changeMode && (status.st_mode & 07777) != target.mode && fchmod(fd, target.mode) != 0)
    ok = false;
  return ok;
}

// Changes a link itself without looking at it first (a missing entry needs nothing). Only
// links: a regular file may be a hard link to a file outside the tree, which only its status
// tells.
bool applyUnseenToLink(int directory, const char* name, const Target& target) {
  if (target.owner == kKeepOwner && target.group == kKeepGroup) return true;
  return fchownat(directory, name, target.owner, target.group, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno == ENOENT;
}

// One pass of setAttributesBelow: each entry is looked at (fstatat) and changed only where it
// differs, so a tree that is already right costs one status call per entry. Once a run of
// entries all needed a change, links are changed without the status call, and every
// kProbeEvery-th one is still looked at: when a probe finds nothing to change the walk goes
// back to looking first. The result is the same either way. A regular file with more than one
// link is left as it is: it may be a file elsewhere (the canary of a root-only directory) that
// someone linked into the tree, and handing it to the tree's owner would hand over that file.
class AttributeWalk {
 public:
  explicit AttributeWalk(const Target& target) : target_(target) {}

  // Walks the open directory (the descriptor is owned here). False when anything failed.
  bool below(int directoryFd) {
    Listing listing(directoryFd, &buffers_);
    if (!listing) return false;
    bool ok = true;
    while (const dirent64* entry = listing.next()) {
      const unsigned char type = entry->d_type;
      if (type == DT_DIR) {
        if (!directory(listing.fd(), entry->d_name)) ok = false;
        continue;
      }
      if (type == DT_LNK && changing_ >= kRunToSkipLooking && ++sinceProbe_ < kProbeEvery) {
        if (!applyUnseenToLink(listing.fd(), entry->d_name, target_)) ok = false;
        continue;
      }
      if (!looked(listing.fd(), entry->d_name)) ok = false;
    }
    return ok && !listing.failed();
  }

 private:
  static constexpr int kRunToSkipLooking = 8;
  static constexpr int kProbeEvery = 16;

  // An entry of unknown type, or a file or link looked at first.
  bool looked(int parent, const char* name, bool mayEnter = true) {
    sinceProbe_ = 0;
    struct stat status;
    if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT;  // deleted meanwhile: nothing left to change
    }
    if (S_ISDIR(status.st_mode) && mayEnter) return directory(parent, name);
    if (!needsChange(status, target_)) {
      changing_ = 0;
      return true;
    }
    if (S_ISREG(status.st_mode) && status.st_nlink > 1) return false;  // not changed
    ++changing_;
    return applyAt(parent, name, status, target_);
  }

  // A directory: opened without following a link, changed through its descriptor, walked.
  bool directory(int parent, const char* name) {
    int fd = openat(parent, name, kDirectoryFlags);
    if (fd < 0 && errno == EACCES) {
      // Not readable as it is (a walk without root powers): change it by name, then enter.
      struct stat status;
      if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
          !applyAt(parent, name, status, target_)) {
        return false;
      }
      fd = openat(parent, name, kDirectoryFlags);
    }
    if (fd < 0) {
      if (errno == ENOENT) return true;
      // Swapped for a link or a file since the listing: handled as that, and not entered.
      if (errno == ELOOP || errno == ENOTDIR) return looked(parent, name, false);
      return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
      ::close(fd);
      return false;
    }
    bool ok = applyToOpenDirectory(fd, status, target_);
    return below(fd) && ok;
  }

  const Target& target_;
  BufferPool buffers_;
  int changing_ = 0;    // entries looked at in a row that needed a change
  int sinceProbe_ = 0;  // entries changed unseen since the last one looked at
};

// Permission bits, sticky bit and, only where the copy keeps the source's owner or group,
// set-user-id and set-group-id: a root process must not turn someone's file into a
// set-user-id program of root.
mode_t copiedMode(const struct stat& status) {
  mode_t mode = status.st_mode & (S_ISVTX | 0777);
  if ((status.st_mode & S_ISUID) && status.st_uid == geteuid()) mode |= S_ISUID;
  if ((status.st_mode & S_ISGID) && status.st_gid == getegid()) mode |= S_ISGID;
  return mode;
}

void copyTimes(int directory, const char* name, const struct stat& status) {
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  utimensat(directory, name, times, AT_SYMLINK_NOFOLLOW);  // best effort, as cp -p on times
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool canTryAnotherWay(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
         error == ENOTSUP || error == EPERM || error == ETXTBSY;
}

// Copies the whole content: copy_file_range (in the kernel, shared extents where the file
// system has them), else sendfile, else read and write.
bool copyContents(int in, int out, off_t expectedSize) {
  enum class Way { kCopyRange, kSendfile, kReadWrite };
  constexpr size_t kChunk = size_t{1} << 30;
  constexpr size_t kBufferSize = 256 * 1024;
  std::unique_ptr<char[]> buffer;
  Way way = Way::kCopyRange;
  off_t copied = 0;
  for (;;) {
    ssize_t moved;
    if (way == Way::kCopyRange) {
      moved = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    } else if (way == Way::kSendfile) {
      moved = sendfile(out, in, nullptr, kChunk);
    } else {
      if (!buffer) buffer = std::make_unique<char[]>(kBufferSize);
      moved = ::read(in, buffer.get(), kBufferSize);
      if (moved > 0 && !writeAll(out, buffer.get(), static_cast<size_t>(moved))) return false;
    }
    if (moved > 0) {
      copied += moved;
      continue;
    }
    if (moved < 0 && errno == EINTR) continue;
    bool nothingYet = copied == 0 && way != Way::kReadWrite;
    // Some file systems answer "nothing" at once for content they cannot hand over in the
    // kernel; read those the plain way before believing the file is empty.
    if (moved == 0 && !(nothingYet && expectedSize > 0)) return true;
    if (moved < 0 && !(nothingYet && canTryAnotherWay(errno))) return false;
    way = way == Way::kCopyRange ? Way::kSendfile : Way::kReadWrite;
  }
}

struct CopyGuard {
  // The directory the copy created first: met again while walking the source, it is the copy
  // itself (a tree copied into itself) and is not entered.
  bool set = false;
  dev_t device = 0;
  ino_t inode = 0;
};

bool copyEntryAt(int fromDirectory, const char* fromName, const struct stat& status,
                 int toDirectory, const char* toName, CopyGuard& guard);

bool copyLinkAt(int fromDirectory, const char* fromName, const struct stat& status, int toDirectory,
                const char* toName) {
  std::string target(status.st_size > 0 ? static_cast<size_t>(status.st_size) + 1 : 256, '\0');
  for (;;) {
    ssize_t length = readlinkat(fromDirectory, fromName, target.data(), target.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < target.size()) {
      target.resize(static_cast<size_t>(length));
      break;
    }
    target.resize(target.size() * 2);
  }
  if (symlinkat(target.c_str(), toDirectory, toName) != 0) return false;
  copyTimes(toDirectory, toName, status);
  return true;
}

bool copyFileAt(int fromDirectory, const char* fromName, int toDirectory, const char* toName) {
  // O_NONBLOCK: a FIFO swapped in since the listing must not block the open.
  Descriptor in(
      openat(fromDirectory, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!in) return false;
  struct stat status;
  if (fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  Descriptor out(openat(toDirectory, toName,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!out) return false;
  bool ok = copyContents(in.get(), out.get(), status.st_size) &&
            fchmod(out.get(), copiedMode(status)) == 0;
  if (ok) {
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    futimens(out.get(), times);
  }
  if (!out.close()) ok = false;
  if (!ok) unlinkat(toDirectory, toName, 0);  // no half-written file stays behind
  return ok;
}

bool copyDirectoryAt(int fromDirectory, const char* fromName, const struct stat& status,
                     int toDirectory, const char* toName, CopyGuard& guard) {
  Listing source(openat(fromDirectory, fromName, kDirectoryFlags));
  if (!source) return false;
  // Private until filled; the source's mode is applied at the end.
  if (mkdirat(toDirectory, toName, 0700) != 0) return false;
  Descriptor copy(openat(toDirectory, toName, kDirectoryFlags));
  if (!copy) return false;
  if (!guard.set) {
    struct stat made;
    if (fstat(copy.get(), &made) != 0) return false;
    guard = {true, made.st_dev, made.st_ino};
  }
  bool ok = true;
  while (const dirent64* entry = source.next()) {
    struct stat entryStatus;
    if (fstatat(source.fd(), entry->d_name, &entryStatus, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    if (S_ISDIR(entryStatus.st_mode) && entryStatus.st_dev == guard.device &&
        entryStatus.st_ino == guard.inode) {
      ok = false;  // the copy itself, inside its own source
      continue;
    }
    if (!copyEntryAt(source.fd(), entry->d_name, entryStatus, copy.get(), entry->d_name, guard))
      ok = false;
  }
  if (source.failed()) ok = false;
  if (fchmod(copy.get(), copiedMode(status)) != 0) ok = false;
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  futimens(copy.get(), times);
  return ok;
}

bool copySpecialAt(const struct stat& status, int toDirectory, const char* toName) {
  if (mknodat(toDirectory, toName, (status.st_mode & S_IFMT) | 0600, status.st_rdev) != 0)
    return false;
  bool ok = changeModeAt(toDirectory, toName, copiedMode(status)) == 0;
  copyTimes(toDirectory, toName, status);
  return ok;
}

bool copyEntryAt(int fromDirectory, const char* fromName, const struct stat& status,
                 int toDirectory, const char* toName, CopyGuard& guard) {
  switch (status.st_mode & S_IFMT) {
    case S_IFLNK:
      return copyLinkAt(fromDirectory, fromName, status, toDirectory, toName);
    case S_IFREG:
      return copyFileAt(fromDirectory, fromName, toDirectory, toName);
    case S_IFDIR:
      return copyDirectoryAt(fromDirectory, fromName, status, toDirectory, toName, guard);
    default:
      return copySpecialAt(status, toDirectory, toName);
  }
}

bool removeDirectoryAt(int directory, const char* name);

// Deletes the entry whatever it is; a link is removed itself. A missing entry is no error.
bool removeEntryAt(int directory, const char* name, unsigned char type) {
  // Most entries are files; a directory answers EISDIR.
  if (type != DT_DIR) {
    if (unlinkat(directory, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) return false;
  }
  return removeDirectoryAt(directory, name);
}

bool removeDirectoryAt(int directory, const char* name) {
  Listing listing(openat(directory, name, kDirectoryFlags));
  if (!listing) return errno == ENOENT;
  // Another pass only when the directory still holds entries the first pass did not see.
  for (int pass = 0; pass < 3; ++pass) {
    if (pass > 0 && !listing.rewind()) return false;
    bool ok = true;
    while (const dirent64* entry = listing.next()) {
      if (!removeEntryAt(listing.fd(), entry->d_name, entry->d_type)) ok = false;
    }
    if (listing.failed()) ok = false;
    if (unlinkat(directory, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    if (!ok || (errno != ENOTEMPTY && errno != EEXIST)) return false;
  }
  return false;
}

// The merge of mergeItem, below its top: `from` is a source directory (owned here), `into` an
// existing destination directory.
bool mergeInto(int from, int into) {
  Listing source(from);
  if (!source) return false;
  bool ok = true;
  while (const dirent64* entry = source.next()) {
    const char* name = entry->d_name;
    struct stat own;
    if (fstatat(source.fd(), name, &own, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    // The directory test follows a link in the source; a dangling link counts as a file.
    struct stat followed = own;
    bool resolved = !S_ISLNK(own.st_mode) || fstatat(source.fd(), name, &followed, 0) == 0;
    bool sourceIsDirectory = resolved && S_ISDIR(followed.st_mode);

    struct stat present;
    bool destinationExists = fstatat(into, name, &present, AT_SYMLINK_NOFOLLOW) == 0;
    if (!destinationExists && errno != ENOENT) {
      ok = false;
      continue;
    }
    // Deleting the destination entry would delete the source itself.
    if (destinationExists && (sameFile(present, own) || (resolved && sameFile(present, followed))))
      continue;

    CopyGuard guard;
    if (!sourceIsDirectory) {
      if (destinationExists && !removeEntryAt(into, name, S_ISDIR(present.st_mode) ? DT_DIR : 0)) {
        ok = false;
        continue;
      }
      if (!copyEntryAt(source.fd(), name, own, into, name, guard)) ok = false;
      continue;
    }
    if (!destinationExists) {
      if (!copyEntryAt(source.fd(), name, own, into, name, guard)) ok = false;
      continue;
    }
    // A file or a link where the source has a directory stays as it is: nothing is written
    // through a link of the destination.
    Descriptor destination(openat(into, name, kDirectoryFlags));
    if (!destination) {
      ok = false;
      continue;
    }
    int sourceDirectory = openat(source.fd(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (sourceDirectory < 0 || !mergeInto(sourceDirectory, destination.get())) ok = false;
  }
  return ok && !source.failed();
}

}  // namespace

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

std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
  Listing listing(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  if (!listing) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent64* entry = listing.next()) names.emplace_back(entry->d_name);
  if (listing.failed()) return std::nullopt;
  return names;
}

bool copyItem(const std::string& from, const std::string& to) {
  std::string source = withoutTrailingSlashes(from);
  std::string destination = withoutTrailingSlashes(to);
  if (source.empty() || destination.empty()) return false;
  struct stat status;
  if (lstat(source.c_str(), &status) != 0) return false;
  struct stat existing;
  if (lstat(destination.c_str(), &existing) == 0 || errno != ENOENT) return false;
  CopyGuard guard;
  return copyEntryAt(AT_FDCWD, source.c_str(), status, AT_FDCWD, destination.c_str(), guard);
}

bool mergeItem(const std::string& from, const std::string& to) {
  std::string source = withoutTrailingSlashes(from);
  std::string destination = withoutTrailingSlashes(to);
  if (source.empty() || destination.empty()) return false;
  struct stat followed;
  if (stat(source.c_str(), &followed) != 0) return false;
  struct stat existing;
  if (lstat(destination.c_str(), &existing) != 0) {
    return errno == ENOENT && copyItem(source, destination);
  }
  if (!S_ISDIR(followed.st_mode)) return false;  // a single file is never merged into anything
  Descriptor into(open(destination.c_str(), kDirectoryFlags));
  if (!into) return false;  // a file or a link at the destination stays as it is
  struct stat target;
  if (fstat(into.get(), &target) != 0) return false;
  if (sameFile(target, followed)) return true;
  int fromFd = open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  return fromFd >= 0 && mergeInto(fromFd, into.get());
}

bool removeItem(const std::string& path) {
  std::string target = withoutTrailingSlashes(path);
  if (target.empty()) return false;
  struct stat status;
  if (lstat(target.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) return unlink(target.c_str()) == 0;
  return removeDirectoryAt(AT_FDCWD, target.c_str());
}

bool createDirectory(const std::string& path, const Attributes& attributes) {
  Target target;
  if (!resolve(attributes, target)) return false;
  std::string directory = withoutTrailingSlashes(path);
  if (directory.empty()) return false;
  if (mkdir(directory.c_str(), target.changeMode ? (target.mode & 0777) : 0777) != 0) return false;
  Descriptor fd(open(directory.c_str(), kDirectoryFlags));
  struct stat status;
  bool ok = fd && fstat(fd.get(), &status) == 0;
  if (ok) {
    uid_t owner = target.owner != status.st_uid ? target.owner : kKeepOwner;
    gid_t group = target.group != status.st_gid ? target.group : kKeepGroup;
    if ((owner != kKeepOwner || group != kKeepGroup) && fchown(fd.get(), owner, group) != 0)
      ok = false;
    // The umask narrowed the mode mkdir was given; set the exact one.
    if (ok && target.changeMode && fchmod(fd.get(), target.mode) != 0) ok = false;
  }
  fd.close();
  if (!ok) rmdir(directory.c_str());  // not left behind with the wrong owner or mode
  return ok;
}

bool createFile(const std::string& path, const std::string& contents,
                const Attributes& attributes) {
  Target target;
  if (!resolve(attributes, target)) return false;
  if (path.empty()) return false;
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  bool created = true;
  Descriptor fd(open(path.c_str(), kFlags | O_CREAT | O_EXCL,
                     target.changeMode ? (target.mode & 0777) : 0644));
  if (!fd && errno == EEXIST) {
    created = false;
    // O_NONBLOCK so that a FIFO there is refused rather than waited on.
    fd.reset(open(path.c_str(), kFlags | O_NONBLOCK));
  }
  if (!fd) return false;
  struct stat status;
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  bool ok = true;
  if (!created) {
    int flags = fcntl(fd.get(), F_GETFL);
    ok = flags >= 0 && fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0 &&
         ftruncate(fd.get(), 0) == 0;
  }
  ok = ok && writeAll(fd.get(), contents.data(), contents.size());
  if (ok) {
    uid_t owner = target.owner != status.st_uid ? target.owner : kKeepOwner;
    gid_t group = target.group != status.st_gid ? target.group : kKeepGroup;
    bool chowned = owner != kKeepOwner || group != kKeepGroup;
    if (chowned && fchown(fd.get(), owner, group) != 0) ok = false;
    if (ok && target.changeMode && (chowned || (status.st_mode & 07777) != target.mode) &&
        fchmod(fd.get(), target.mode) != 0) {
      ok = false;
    }
  }
  if (!fd.close()) ok = false;
  if (!ok && created) unlink(path.c_str());
  return ok;
}

bool setAttributes(const std::string& path, const Attributes& attributes) {
  Target target;
  bool known = resolve(attributes, target);
  std::string entry = withoutTrailingSlashes(path);
  struct stat status;
  if (entry.empty() || lstat(entry.c_str(), &status) != 0) return false;
  return applyAt(AT_FDCWD, entry.c_str(), status, target) && known;
}

bool setAttributesBelow(const std::string& directory, const Attributes& attributes) {
  Target target;
  bool known = resolve(attributes, target);
  std::string top = withoutTrailingSlashes(directory);
  if (top.empty()) return false;
  // The directory named is not entered through a link either.
  int fd = open(top.c_str(), kDirectoryFlags);
  if (fd < 0) return false;
  AttributeWalk walk(target);
  return walk.below(fd) && known;
}

}  // namespace rcpinstall::os::FileSystem
