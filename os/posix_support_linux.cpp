// Descriptor-level pieces shared by the POSIX implementations of os/.
#include "os/posix_support.h"

#include <sys/syscall.h>

#include <atomic>
#include <random>

namespace rcpinstall::os::posix {

std::string describeType(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a directory";
    case S_IFLNK:
      return "a symbolic link";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    default:
      return "an entry of unknown type";
  }
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool syncDirectory(int fd) {
  int status = ::fcntl(fd, F_GETFL);
  if (status < 0) return false;
  Descriptor reopened;
  if ((status & O_PATH) != 0) {
    reopened.reset(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (!reopened) return false;
    fd = reopened.get();
  }
  return ::fsync(fd) == 0 || errno == EINVAL;
}

std::string temporaryName(const std::string& name) {
  static std::mt19937_64 random{std::random_device{}()};
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string suffix(6, 'x');
  for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
  return std::string(kTemporaryPrefix) + name + "." + suffix;
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
namespace {
std::atomic<bool> fchmodat2Missing{kFchmodat2 < 0};

}  // namespace

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

int changeModeOfDescriptor(int fd, mode_t mode) {
  if (!fchmodat2Missing.load(std::memory_order_relaxed)) {
    if (syscall(kFchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL && errno != EPERM) return -1;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return fchmodat(AT_FDCWD, self.c_str(), mode, 0);
}

}  // namespace rcpinstall::os::posix
