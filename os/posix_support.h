// Descriptor-level pieces shared by the POSIX implementations of os/: owned descriptors,
// directory listings, whole writes, and the one removal of a tree. Included only inside os/.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/root.h"

namespace rcpinstall::os::posix {

// A directory opened to be walked: never through a link, never as a controlling terminal.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    reset(other.release());
    return *this;
  }

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
inline std::string withoutTrailingSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

inline bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What an entry of the type (st_mode) is, for messages: "a directory", "a FIFO", ...
std::string describeType(mode_t mode);

// Makes the entries of an open directory durable (fsync). The descriptor may be an O_PATH one,
// which cannot be synced itself: the directory is then opened again for reading through it.
// A file system that has nothing to sync for a directory (EINVAL) is no failure; any other
// error is, and errno tells it.
bool syncDirectory(int fd);

// Writes all of the data, going on after interruptions and short writes; false on an error.
bool writeAll(int fd, std::string_view data);

// Changes the mode of the entry itself, never following a final link.
int changeModeAt(int directory, const char* name, mode_t mode);
// Changes the mode of the inode an O_PATH descriptor holds (fchmodat2 with AT_EMPTY_PATH, else
// through /proc/self/fd), never of whatever its name meanwhile stands for.
int changeModeOfDescriptor(int fd, mode_t mode);

// Deletes the entry whatever it is (a file, link, FIFO, device or whole tree), never
// following a link: a link is removed itself. `type` is the listing's d_type when known
// (DT_UNKNOWN otherwise). A missing entry is no error.
bool removeEntryAt(int directory, const char* name, unsigned char type);

// --- Locations (os/root.h; root_linux.cpp) ---------------------------------------------

// Opens the location with the flags (O_CLOEXEC is added). At or below a root the path is
// resolved from the root's descriptor and no component may be a link, the last one included
// ("..", too, is refused there); outside every root the system resolves the path and the
// flags decide about the last component. -1 with errno on failure (ELOOP or ENOTDIR for a link
// on the way below a root, EXDEV for a location no root holds).
int openPath(const Location& location, int flags, mode_t mode = 0);

// The directory that holds the entry at a location, open (for listing where it can be read,
// else as O_PATH), and the entry's name in it. Below a root the directory is reached as
// openPath reaches it; `anchored` tells so. A root itself is an entry of the root above it,
// and the outermost root an entry of a directory reached by path.
struct EntryAt {
  Descriptor directory;
  std::string name;
  bool anchored = false;
};
bool openParent(const Location& location, EntryAt& entry);
// Tests: resolve below roots by the walk of O_NOFOLLOW opens, as on a kernel without openat2
// (true), or by openat2 where the kernel has it (false, probed again).
void walkWithoutOpenat2(bool walk);
// Whether paths below roots are resolved by openat2 now (else by the walk).
bool resolvesWithOpenat2();

// Temporary files of os/ are named ".rcptmp.<name>.<six letters>" beside their target, so
// that a later run can tell them from everything else.
inline constexpr std::string_view kTemporaryPrefix = ".rcptmp.";
// A fresh name of that pattern for a temporary beside `name`.
std::string temporaryName(const std::string& name);
// Removes the regular files of that pattern in the open directory (left by a killed run);
// anything else of that name (a directory, a link) stays, and so does everything in a
// directory that everyone may write (as /tmp), where the name may be anyone's.
void removeStaleTemporaries(int directory);

}  // namespace rcpinstall::os::posix
