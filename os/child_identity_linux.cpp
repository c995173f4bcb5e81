// The status values the choice of a child's account reads, gathered through descriptors on
// Linux: the program's real path comes from /proc/self/fd.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "os/child_identity.h"
#include "os/child_process.h"
#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

EntryStatus entryStatusOf(const struct stat& status) {
  return EntryStatus{status.st_uid, status.st_gid, status.st_mode};
}

std::optional<EntryStatus> statusOf(int fd) {
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) return std::nullopt;
  return entryStatusOf(status);
}

// The real path of an open entry.
std::optional<std::string> realPathOf(int fd) {
  char buffer[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(self.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(length));
}

// Every directory from the program's own up to "/", as the program really lies; ends with an
// absent entry where one could not be looked at.
std::vector<std::optional<EntryStatus>> directoriesAbove(int programFd) {
  std::vector<std::optional<EntryStatus>> directories;
  const std::optional<std::string> real = realPathOf(programFd);
  if (!real || !real->starts_with("/")) return {std::nullopt};
  for (std::string directory = deletingLastComponent(*real);;
       directory = deletingLastComponent(directory)) {
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
      directories.push_back(std::nullopt);
      break;
    }
    directories.push_back(entryStatusOf(status));
    if (directory == "/") break;
  }
  return directories;
}

}  // namespace

InspectedProgram::~InspectedProgram() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::optional<Identity> identityToRun(const Location& program, const Location& home) {
  if (::geteuid() != 0) return std::nullopt;
  // The file the program's path leads to, held: what is looked at is what is started.
  auto held = std::make_shared<InspectedProgram>(program.path(), posix::openPath(program, O_PATH));
  posix::Descriptor homeFd(posix::openPath(home, O_PATH | O_DIRECTORY));
  LaunchTreeStatus status{statusOf(homeFd.get()), statusOf(held->descriptor()), {}};
  // Below a root the walk of O_NOFOLLOW opens answers a final link itself: not a program.
  if (status.program && S_ISLNK(status.program->mode)) status.program.reset();
  if (status.program) status.directories = directoriesAbove(held->descriptor());
  std::optional<Identity> identity = identityFor(chooseLaunchAccount(status));
  if (identity && held->descriptor() >= 0) identity->program = std::move(held);
  return identity;
}

}  // namespace rcpinstall::os
