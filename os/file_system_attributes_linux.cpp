// Owner, group and mode on POSIX: creation with attributes, one entry, and the walk that
// repairs a whole tree.
#include "os/file_system.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "os/posix_support.h"
#include "os/user_identity.h"

namespace rcpinstall::os::FileSystem {
namespace {

using posix::BufferPool;
using posix::changeModeAt;
using posix::Descriptor;
using posix::kDirectoryFlags;
using posix::Listing;
using posix::sameFile;
using posix::withoutTrailingSlashes;
using posix::writeAll;

constexpr uid_t kKeepOwner = static_cast<uid_t>(-1);
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

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

// Descriptors of entries that were changed, closed a batch at a time: descriptors opened one
// after another are numbered one after another, and one close_range closes them all.
class DeferredCloses {
 public:
  ~DeferredCloses() { flush(); }
  void add(int fd) {
    if (!fds_.empty() && fd != fds_.back() + 1) flush();
    fds_.push_back(fd);
    if (fds_.size() >= kBatch) flush();
  }
  void flush() {
    if (fds_.empty()) return;
    if (close_range(static_cast<unsigned>(fds_.front()), static_cast<unsigned>(fds_.back()), 0) !=
        0) {
      for (int fd : fds_) ::close(fd);
    }
    fds_.clear();
  }

 private:
  static constexpr size_t kBatch = 64;
  std::vector<int> fds_;
};

// A descriptor that goes to the batch when the function that opened it ends.
class BatchedDescriptor {
 public:
  BatchedDescriptor(int fd, DeferredCloses& closes) : fd_(fd), closes_(closes) {}
  ~BatchedDescriptor() {
    if (fd_ >= 0) closes_.add(fd_);
  }
  BatchedDescriptor(const BatchedDescriptor&) = delete;
  BatchedDescriptor& operator=(const BatchedDescriptor&) = delete;
  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }

 private:
  int fd_;
  DeferredCloses& closes_;
};

// Changes an entry of a directory that someone else may write to, through an O_PATH descriptor
// of it: the inode that is changed is the one that was looked at (`seen`, with a single link
// then, so the tree's own), even if the name is swapped for a hard link to another file in
// between. The change time must match too: it moves with every link, unlink and change of
// owner or mode, and tells an inode number used again for a newer file from the one looked
// at. A directory found there now is left to the caller.
bool applyThroughDescriptor(int directory, const char* name, const struct stat& seen,
                            const Target& target, bool& isDirectory, DeferredCloses& closes) {
  BatchedDescriptor fd(openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC), closes);
  if (!fd) return errno == ENOENT;
  struct stat status;
  if (fstat(fd.get(), &status) != 0) return false;
  isDirectory = S_ISDIR(status.st_mode);
  if (isDirectory) return true;
  if (!sameFile(status, seen) || status.st_ctim.tv_sec != seen.st_ctim.tv_sec ||
      status.st_ctim.tv_nsec != seen.st_ctim.tv_nsec) {
    return false;  // not changed
  }
  uid_t owner =
      target.owner != kKeepOwner && status.st_uid != target.owner ? target.owner : kKeepOwner;
  gid_t group =
      target.group != kKeepGroup && status.st_gid != target.group ? target.group : kKeepGroup;
  mode_t current = status.st_mode & 07777;
  bool ok = true;
  if (owner != kKeepOwner || group != kKeepGroup) {
    if (fchownat(fd.get(), "", owner, group, AT_EMPTY_PATH) != 0) {
      ok = false;
    } else if ((current & (S_ISUID | S_ISGID)) != 0 && !S_ISLNK(status.st_mode) &&
               fstat(fd.get(), &status) == 0) {
      current = status.st_mode & 07777;
    }
  }
  if (target.changeMode && !S_ISLNK(status.st_mode) && current != target.mode &&
      posix::changeModeOfDescriptor(fd.get(), target.mode) != 0) {
    ok = false;
  }
  return ok;
}

// A directory opened and looked at (taken over where that applies) whose entries are still to
// be walked, and, when it needs a change of its own, a second descriptor for that change,
// which comes after its entries.
struct PendingDirectory {
  int fd;
  int own;  // -1 when the directory needs no change
  struct stat status;
};

// The directories the walk's threads share: a thread that finds a directory hands it to a
// thread that waits for work, else walks it itself, so that few descriptors are ever open
// beyond those of the directories being walked.
class PendingDirectories {
 public:
  // Up to `threads` threads, the caller's among them; `startThread` starts one more that
  // walks what take() gives. A tree of few directories is walked by the caller alone: a
  // thread is started only once kDirectoriesBeforeThreads were met.
  PendingDirectories(unsigned threads, std::function<void()> startThread)
      : threads_(threads), startThread_(std::move(startThread)) {}

  void start(PendingDirectory first) { queue_.push_back(first); }
  // False when no thread can take the directory now: the caller walks it itself.
  bool offer(const PendingDirectory& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++offered_;
    if (!queue_.empty()) return false;
    if (waiting_ == 0) {
      if (running_ >= threads_ || offered_ < kDirectoriesBeforeThreads) return false;
      try {
        startThread_();
      } catch (const std::exception&) {
        threads_ = running_;  // no more threads to be had
        return false;
      }
      ++running_;
    }
    queue_.push_back(directory);
    ready_.notify_one();
    return true;
  }
  // The next directory to walk; none once every running thread waits and nothing is left.
  std::optional<PendingDirectory> take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    for (;;) {
      if (!queue_.empty()) {
        const PendingDirectory next = queue_.front();
        queue_.pop_front();
        --waiting_;
        return next;
      }
      if (waiting_ == running_) {
        ready_.notify_all();
        return std::nullopt;
      }
      ready_.wait(lock);
    }
  }

 private:
  static constexpr unsigned kDirectoriesBeforeThreads = 16;
  unsigned threads_;
  const std::function<void()> startThread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<PendingDirectory> queue_;
  unsigned running_ = 1;  // the caller's thread
  unsigned waiting_ = 0;
  unsigned offered_ = 0;
};

// One pass of setAttributesBelow: each entry is looked at (fstatat) and changed only where it
// differs, so a tree that is already right costs one status call per entry. Once a run of
// entries all needed a change, links in a directory only this process may write are changed
// without the status call, and every kProbeEvery-th one is still looked at: when a probe finds
// nothing to change the walk goes back to looking first. The result is the same either way. A
// regular file with more than one link is left as it is: it may be a file elsewhere (the
// canary of a root-only directory) that someone linked into the tree, and handing it to the
// tree's owner would hand over that file.
//
// With root powers, a directory below the one named that someone else may write and that gets
// a new owner anyway is first taken over: owned by root and writable by nobody else while its
// entries are changed, then given its new owner and mode last. Nobody can then swap its
// entries, so each is changed by name after one look, as cheaply as in a tree only root may
// change. Where the taking over fails, and in the directory named (whose own attributes this
// walk leaves alone), each entry is changed through a descriptor of the inode looked at.
// A run stopped in between leaves such a directory root's; the next repair gives it its owner.
// On the target system an access control entry can grant writing whatever the mode says; its
// stand-in there must clear those of a directory it takes over, or treat it as shared.
//
// Directories are walked by up to kWalkThreads threads at once, each with its own walk: what
// happens to one directory is the same whichever thread walks it.
class AttributeWalk {
 public:
  AttributeWalk(const Target& target, PendingDirectories* pending = nullptr)
      : target_(target), root_(geteuid() == 0), pending_(pending) {}

  // Walks the entries of a pending directory, then gives it its own change. False when
  // anything failed.
  bool walk(const PendingDirectory& directory) {
    bool ok = below(directory.fd, directory.status);
    if (directory.own >= 0) {
      if (!applyToOpenDirectory(directory.own, directory.status, target_)) ok = false;
      ::close(directory.own);
    }
    return ok;
  }

  // Walks the open directory (the descriptor is owned here) whose status is `status`. False
  // when anything failed.
  bool below(int directoryFd, const struct stat& status) {
    Listing listing(directoryFd, &buffers_);
    if (!listing) return false;
    bool shared = othersMayWrite(status);
    std::swap(shared_, shared);
    bool ok = walkEntries(listing);
    std::swap(shared_, shared);
    return ok;
  }

 private:
  static constexpr int kRunToSkipLooking = 8;
  static constexpr int kProbeEvery = 16;

  bool walkEntries(Listing& listing) {
    bool ok = true;
    while (const dirent64* entry = listing.next()) {
      const unsigned char type = entry->d_type;
      if (type == DT_DIR) {
        if (!directory(listing.fd(), entry->d_name)) ok = false;
        continue;
      }
      if (changing_ >= kRunToSkipLooking && !shared_ && type == DT_LNK &&
          ++sinceProbe_ < kProbeEvery) {
        // Within a run of changes, a link where only this process may write: changed unseen.
        if (!applyUnseenToLink(listing.fd(), entry->d_name, target_)) ok = false;
        continue;
      }
      if (!looked(listing.fd(), entry->d_name)) ok = false;
    }
    return ok && !listing.failed();
  }

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
    if (!shared_) return applyAt(parent, name, status, target_);
    bool isDirectory = false;
    const bool ok = applyThroughDescriptor(parent, name, status, target_, isDirectory, closes_);
    // Swapped for a directory since the look: entered as one (or left alone, as above).
    if (isDirectory && mayEnter) return directory(parent, name);
    return ok;
  }

  // A directory: opened without following a link, walked, then changed through its
  // descriptor. Its own change comes last, so that a directory only this process may write
  // stays so while its entries are changed.
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
    // A directory that is already right keeps no second descriptor for its own change (the
    // common case of a repair that finds the tree right: one open and one close per directory).
    if (!needsChange(status, target_)) return handOn({fd, -1, status});
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
      ::close(fd);
      return false;
    }
    if (othersMayWrite(status)) takeOver(fd, status);
    return handOn({fd, own, status});
  }

  // Gives the directory to a thread that waits for work, else walks it here.
  bool handOn(const PendingDirectory& directory) {
    if (pending_ != nullptr && pending_->offer(directory)) return true;
    return walk(directory);
  }

  // Whether anyone but this process may add, remove or swap entries of a directory right now:
  // then its entries are changed only through descriptors. Without root powers the walk cannot
  // give anyone a file that is not already theirs, so the cheaper way is safe there.
  bool othersMayWrite(const struct stat& directory) const {
    return root_ && (directory.st_uid != 0 || (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0);
  }

  // Makes a directory that gets a new owner and mode root's and writable by nobody else until
  // its own change, and updates `status` to what it is now. The owner goes first: its former owner
  // could otherwise give the write permission back before the new one holds. Whatever fails
  // leaves a status that still says others may write.
  void takeOver(int fd, struct stat& status) {
    if (target_.owner == kKeepOwner || !target_.changeMode || !needsChange(status, target_)) {
      return;
    }
    if (status.st_uid != 0) {
      if (fchown(fd, 0, kKeepGroup) != 0) return;
      status.st_uid = 0;
    }
    const mode_t closed = status.st_mode & 07777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
    if ((status.st_mode & 07777) != closed && fchmod(fd, closed) == 0) {
      status.st_mode = (status.st_mode & ~static_cast<mode_t>(07777)) | closed;
    }
  }

  const Target& target_;
  const bool root_;
  PendingDirectories* const pending_;
  BufferPool buffers_;
  DeferredCloses closes_;
  int changing_ = 0;     // entries looked at in a row that needed a change
  int sinceProbe_ = 0;   // entries changed unseen since the last one looked at
  bool shared_ = false;  // whether others may write the directory being walked
};

}  // namespace

bool createDirectory(const Location& path, const Attributes& attributes) {
  Target target;
  if (!resolve(attributes, target)) return false;
  posix::EntryAt entry;
  if (!posix::openParent(path, entry)) return false;
  const int parent = entry.directory.get();
  const char* name = entry.name.c_str();
  if (mkdirat(parent, name, target.changeMode ? (target.mode & 0777) : 0777) != 0) return false;
  Descriptor fd(openat(parent, name, kDirectoryFlags));
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
  if (!ok) unlinkat(parent, name, AT_REMOVEDIR);  // not left behind with the wrong owner or mode
  return ok;
}

bool createFile(const Location& path, const std::string& contents, const Attributes& attributes) {
  Target target;
  if (!resolve(attributes, target)) return false;
  posix::EntryAt entry;
  if (!posix::openParent(path, entry)) return false;
  const int parent = entry.directory.get();
  const char* name = entry.name.c_str();
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  bool created = true;
  Descriptor fd(openat(parent, name, kFlags | O_CREAT | O_EXCL,
                       target.changeMode ? (target.mode & 0777) : 0644));
  if (!fd && errno == EEXIST) {
    created = false;
    // O_NONBLOCK so that a FIFO there is refused rather than waited on.
    fd.reset(openat(parent, name, kFlags | O_NONBLOCK));
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
  ok = ok && writeAll(fd.get(), contents);
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
  if (!ok && created) unlinkat(parent, name, 0);
  return ok;
}

bool setAttributes(const Location& path, const Attributes& attributes) {
  Target target;
  bool known = resolve(attributes, target);
  posix::EntryAt entry;
  if (!posix::openParent(path, entry)) return false;
  struct stat status;
  if (fstatat(entry.directory.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return applyAt(entry.directory.get(), entry.name.c_str(), status, target) && known;
}

namespace {

// The threads of one walk: a tree of many directories is walked on every processor (a few at
// most), one thread for a machine with one.
constexpr unsigned kWalkThreads = 4;

bool walkInThreads(const Target& target, const PendingDirectory& top) {
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kWalkThreads);
  if (threads == 1) return AttributeWalk(target).walk(top);
  std::atomic<bool> ok{true};
  std::vector<std::thread> helpers;  // started by `pending` under its lock
  std::function<void()> work;
  PendingDirectories pending(threads, [&] { helpers.emplace_back(work); });
  work = [&] {
    try {
      AttributeWalk walk(target, &pending);
      while (const std::optional<PendingDirectory> next = pending.take()) {
        if (!walk.walk(*next)) ok = false;
      }
    } catch (const std::exception&) {
      ok = false;  // what was not walked stays as it was
    }
  };
  pending.start(top);
  work();
  // Every running thread waits now, so no more are started.
  for (std::thread& helper : helpers) helper.join();
  return ok;
}

bool walkBelow(const Location& directory, const Attributes& attributes,
               std::optional<uid_t> requiredOwner) {
  Target target;
  bool known = resolve(attributes, target);
  if (withoutTrailingSlashes(directory.path()).empty()) return false;
  // The directory named is not entered through a link either; below a root it is reached
  // from the root's descriptor, and the walk has only that descriptor, never the path.
  int fd = posix::openPath(directory, kDirectoryFlags);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0) {
    ::close(fd);
    return false;
  }
  if (requiredOwner && status.st_uid != *requiredOwner) {
    ::close(fd);
    errno = EPERM;
    return false;
  }
  return walkInThreads(target, {fd, -1, status}) && known;
}

}  // namespace

bool setAttributesBelow(const Location& directory, const Attributes& attributes) {
  return walkBelow(directory, attributes, std::nullopt);
}

bool setAttributesBelowOwnedBy(const Location& directory, uid_t owner,
                               const Attributes& attributes) {
  return walkBelow(directory, attributes, owner);
}

}  // namespace rcpinstall::os::FileSystem
