// Copying and merging trees on POSIX, through directory descriptors; links are reproduced as
// links and never followed into the destination.
#include "os/file_system.h"

#include <sys/sendfile.h>

#include <cstring>
#include <optional>

#include "os/posix_support.h"

namespace rcpinstall::os::FileSystem {
namespace {

using posix::changeModeAt;
using posix::Descriptor;
using posix::kDirectoryFlags;
using posix::Listing;
using posix::removeEntryAt;
using posix::sameFile;
using posix::withoutTrailingSlashes;
using posix::writeAll;

// Permission bits, sticky bit and, only where the copy keeps the source's owner or group,
// set-user-id and set-group-id: a root process must not turn someone's file into a
// set-user-id program of root.
mode_t copiedMode(const struct stat& status) {
  mode_t mode = status.st_mode & (S_ISVTX | 0777);
  if ((status.st_mode & S_ISUID) && status.st_uid == geteuid()) mode |= S_ISUID;
  if ((status.st_mode & S_ISGID) && status.st_gid == getegid()) mode |= S_ISGID;
  return mode;
}

// The owner and group a new entry of a directory gets: with root powers, in a directory of
// another account (the product tree after its first install), that account's and the
// directory's group, so that what the tools add there is already the account's when its
// launcher runs; otherwise the process's own (none).
struct Heir {
  uid_t owner;
  gid_t group;
};
std::optional<Heir> heirOf(int directory) {
  struct stat status;
  if (geteuid() != 0 || fstat(directory, &status) != 0 || status.st_uid == 0) return std::nullopt;
  return Heir{status.st_uid, status.st_gid};
}

// Gives a new entry, through a descriptor of it (never by a name its directory's owner may
// have swapped meanwhile), to the directory's account (see heirOf); set-user-id and
// set-group-id bits are not passed on to that account.
bool inherit(int fd, const std::optional<Heir>& heir) {
  if (!heir) return true;
  struct stat status;
  if (fchownat(fd, "", heir->owner, heir->group, AT_EMPTY_PATH) != 0 || fstat(fd, &status) != 0)
    return false;
  const mode_t mode = status.st_mode & 07777;
  return S_ISLNK(status.st_mode) || (mode & (S_ISUID | S_ISGID)) == 0 ||
         fchmod(fd, mode & ~static_cast<mode_t>(S_ISUID | S_ISGID)) == 0;
}

void copyTimes(int directory, const char* name, const struct stat& status) {
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  utimensat(directory, name, times, AT_SYMLINK_NOFOLLOW);  // best effort, as cp -p on times
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
      if (moved > 0 && !writeAll(out, std::string_view(buffer.get(), static_cast<size_t>(moved))))
        return false;
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
  // Durability::kSynced: each file is written under a temporary name, synced and renamed into
  // place, and each directory the copy fills or changes is synced.
  bool synced = false;
  // The directory the copy created first: met again while walking the source, it is the copy
  // itself (a tree copied into itself) and is not entered.
  bool set = false;
  dev_t device = 0;
  ino_t inode = 0;
  // Who the copy's entries go to: decided once, from the directory the copy is made in.
  bool heirKnown = false;
  std::optional<Heir> heir;
};

bool copyEntryAt(int fromDirectory, const char* fromName, const struct stat& status,
                 int toDirectory, const char* toName, CopyGuard& guard);

bool copyLinkAt(int fromDirectory, const char* fromName, const struct stat& status, int toDirectory,
                const char* toName, const std::optional<Heir>& heir) {
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
  if (heir) {
    Descriptor link(openat(toDirectory, toName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat made;
    // Only the link made here: anything else found under its name now is left alone.
    if (!link || fstat(link.get(), &made) != 0 || !S_ISLNK(made.st_mode)) return false;
    return inherit(link.get(), heir);
  }
  return true;
}

bool copyFileAt(int fromDirectory, const char* fromName, int toDirectory, const char* toName,
                bool synced, const std::optional<Heir>& heir) {
  // O_NONBLOCK: a FIFO swapped in since the listing must not block the open.
  Descriptor in(
      openat(fromDirectory, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!in) return false;
  struct stat status;
  if (fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  // Synced, the content goes to a temporary beside the name and takes the name only once it
  // is on the disk: the name then holds its old file or the whole new one, never a part.
  const std::string temporary = synced ? posix::temporaryName(toName) : std::string();
  const char* written = synced ? temporary.c_str() : toName;
  Descriptor out(openat(toDirectory, written,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!out) return false;
  bool ok = copyContents(in.get(), out.get(), status.st_size) &&
            fchmod(out.get(), copiedMode(status)) == 0 && inherit(out.get(), heir);
  if (ok) {
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    futimens(out.get(), times);
  }
  if (ok && synced) ok = fsync(out.get()) == 0;
  if (!out.close()) ok = false;
  if (ok && synced) ok = renameat(toDirectory, written, toDirectory, toName) == 0;
  if (!ok) unlinkat(toDirectory, written, 0);  // no half-written file stays behind
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
    guard.set = true;
    guard.device = made.st_dev;
    guard.inode = made.st_ino;
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
  if (!inherit(copy.get(), guard.heir)) ok = false;
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  futimens(copy.get(), times);
  if (guard.synced && !posix::syncDirectory(copy.get())) ok = false;
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
  if (!guard.heirKnown) {
    guard.heir = heirOf(toDirectory);
    guard.heirKnown = true;
  }
  switch (status.st_mode & S_IFMT) {
    case S_IFLNK:
      return copyLinkAt(fromDirectory, fromName, status, toDirectory, toName, guard.heir);
    case S_IFREG:
      return copyFileAt(fromDirectory, fromName, toDirectory, toName, guard.synced, guard.heir);
    case S_IFDIR:
      return copyDirectoryAt(fromDirectory, fromName, status, toDirectory, toName, guard);
    default:
      return copySpecialAt(status, toDirectory, toName);
  }
}

// The merge of mergeItem, below its top: `from` is a source directory (owned here), `into` an
// existing destination directory.
bool mergeInto(int from, int into, bool synced) {
  Listing source(from);
  if (!source) return false;
  // Temporaries a killed synced merge left here go first.
  if (synced) posix::removeStaleTemporaries(into);
  bool ok = true;
  bool changed = false;
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
    guard.synced = synced;
    if (!sourceIsDirectory) {
      // A synced file copy takes the place of a file or link there by its rename, so that the
      // name is never without a file.
      const bool renamedOver =
          synced && S_ISREG(own.st_mode) && destinationExists && !S_ISDIR(present.st_mode);
      changed = true;
      if (destinationExists && !renamedOver &&
          !removeEntryAt(into, name, S_ISDIR(present.st_mode) ? DT_DIR : 0)) {
        ok = false;
        continue;
      }
      if (!copyEntryAt(source.fd(), name, own, into, name, guard)) ok = false;
      continue;
    }
    if (!destinationExists) {
      changed = true;
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
    if (sourceDirectory < 0 || !mergeInto(sourceDirectory, destination.get(), synced)) ok = false;
  }
  if (synced && changed && !posix::syncDirectory(into)) ok = false;
  return ok && !source.failed();
}

// The walk of copyResolvingLinks: links followed, every directory on the way remembered so
// that a link back to one of them is not entered.
class ResolvingCopy {
 public:
  explicit ResolvingCopy(ResolvedCopy& result) : result_(result) {}

  // Copies the entry `name` of the open source directory as `name` of the open copy directory.
  // False only when the copy could not be written (the walk stops).
  bool entry(int fromDirectory, const char* name, const std::string& path, int toDirectory,
             const char* toName) {
    struct stat own;
    if (fstatat(fromDirectory, name, &own, AT_SYMLINK_NOFOLLOW) != 0) return skip(path, errno);
    struct stat status = own;
    const bool link = S_ISLNK(own.st_mode);
    if (link && fstatat(fromDirectory, name, &status, 0) != 0) {
      return skip(path,
                  "a symbolic link that leads nowhere (" + std::string(strerror(errno)) + ")");
    }
    if (S_ISREG(status.st_mode))
      return file(fromDirectory, name, path, toDirectory, toName, status);
    if (S_ISDIR(status.st_mode)) {
      return directory(fromDirectory, name, path, toDirectory, toName, status);
    }
    return skip(path, posix::describeType(status.st_mode) + ", not copied");
  }

 private:
  bool skip(const std::string& path, int error) { return skip(path, strerror(error)); }
  bool skip(const std::string& path, const std::string& reason) {
    result_.skipped.push_back({path, reason});
    return true;
  }
  bool fail(const std::string& path, int error) {
    result_.error = (path.empty() ? std::string("the copy") : path) + ": " + strerror(error);
    return false;
  }

  bool file(int fromDirectory, const char* name, const std::string& path, int toDirectory,
            const char* toName, const struct stat& status) {
    Descriptor in(openat(fromDirectory, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!in) return skip(path, errno);
    struct stat opened;
    if (fstat(in.get(), &opened) != 0) return skip(path, errno);
    if (!S_ISREG(opened.st_mode))
      return skip(path, posix::describeType(opened.st_mode) + ", not copied");
    Descriptor out(openat(toDirectory, toName,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!out) return fail(path, errno);
    if (!copyContents(in.get(), out.get(), opened.st_size)) {
      const int error = errno;
      unlinkat(toDirectory, toName, 0);
      return fail(path, error);
    }
    if (fchmod(out.get(), copiedMode(status) | S_IRUSR | S_IWUSR) != 0) return fail(path, errno);
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    futimens(out.get(), times);
    if (!out.close()) return fail(path, errno);
    return true;
  }

  bool directory(int fromDirectory, const char* name, const std::string& path, int toDirectory,
                 const char* toName, const struct stat& status) {
    for (const auto& [device, inode] : open_) {
      if (device == status.st_dev && inode == status.st_ino) {
        return skip(path, "a symbolic link to a directory that holds it, not copied");
      }
    }
    Listing source(openat(fromDirectory, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (!source) return skip(path, errno);
    if (mkdirat(toDirectory, toName, 0700) != 0) return fail(path, errno);
    Descriptor copy(openat(toDirectory, toName, kDirectoryFlags));
    if (!copy) return fail(path, errno);
    open_.emplace_back(status.st_dev, status.st_ino);
    while (const dirent64* entry = source.next()) {
      const std::string below = path.empty() ? entry->d_name : path + "/" + entry->d_name;
      if (!this->entry(source.fd(), entry->d_name, below, copy.get(), entry->d_name)) return false;
    }
    open_.pop_back();
    if (source.failed()) skip(path, "not listed to its end");
    if (fchmod(copy.get(), copiedMode(status) | S_IRWXU) != 0) return fail(path, errno);
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    futimens(copy.get(), times);
    return true;
  }

  ResolvedCopy& result_;
  std::vector<std::pair<dev_t, ino_t>> open_;
};

}  // namespace

ResolvedCopy copyResolvingLinks(const Location& from, const Location& to) {
  ResolvedCopy result;
  posix::EntryAt source;
  posix::EntryAt destination;
  if (!posix::openParent(from, source)) {
    result.skipped.push_back({"", strerror(errno)});
    return result;
  }
  if (!posix::openParent(to, destination)) {
    result.error = to.path() + ": " + strerror(errno);
    return result;
  }
  ResolvingCopy walk(result);
  result.made = walk.entry(source.directory.get(), source.name.c_str(), "",
                           destination.directory.get(), destination.name.c_str()) &&
                (result.skipped.empty() || !result.skipped.front().path.empty());
  return result;
}

bool copyItem(const Location& from, const Location& to, Durability durability) {
  posix::EntryAt source;
  posix::EntryAt destination;
  if (!posix::openParent(from, source) || !posix::openParent(to, destination)) return false;
  struct stat status;
  if (fstatat(source.directory.get(), source.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  struct stat existing;
  if (fstatat(destination.directory.get(), destination.name.c_str(), &existing,
              AT_SYMLINK_NOFOLLOW) == 0 ||
      errno != ENOENT) {
    return false;
  }
  CopyGuard guard;
  guard.synced = durability == Durability::kSynced;
  if (!copyEntryAt(source.directory.get(), source.name.c_str(), status, destination.directory.get(),
                   destination.name.c_str(), guard)) {
    return false;
  }
  return !guard.synced || posix::syncDirectory(destination.directory.get());
}

bool mergeItem(const Location& source, const Location& destination, Durability durability) {
  if (withoutTrailingSlashes(source.path()).empty() ||
      withoutTrailingSlashes(destination.path()).empty()) {
    return false;
  }
  struct stat followed;
  if (!FileSystem::exists(source)) return false;
  Descriptor sourceFd(posix::openPath(source, O_PATH));
  if (!sourceFd || fstat(sourceFd.get(), &followed) != 0) return false;
  if (!entryExists(destination)) {
    return errno == ENOENT && copyItem(source, destination, durability);
  }
  if (!S_ISDIR(followed.st_mode)) return false;  // a single file is never merged into anything
  Descriptor into(posix::openPath(destination, kDirectoryFlags));
  if (!into) return false;  // a file or a link at the destination stays as it is
  struct stat target;
  if (fstat(into.get(), &target) != 0) return false;
  if (sameFile(target, followed)) return true;
  int fromFd = posix::openPath(source, O_RDONLY | O_DIRECTORY | O_NOCTTY);
  return fromFd >= 0 && mergeInto(fromFd, into.get(), durability == Durability::kSynced);
}

}  // namespace rcpinstall::os::FileSystem
