// Choosing the account a child program runs as, from who can change it (POSIX).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "os/child_process.h"
#include "os/path.h"
#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

// The account "nobody" (its id differs between systems), else the usual id.
uid_t nobody() {
  const struct passwd* account = ::getpwnam("nobody");
  return account != nullptr ? account->pw_uid : 65534;
}

// Whether every user may change the entry, or, for a directory on the way, swap the entry
// below it (`next`, the status of that entry). In a sticky directory only an entry's owner
// (and the directory's) may rename it.
bool anyoneMayChange(const struct stat& status, const struct stat* next) {
  if ((status.st_mode & S_IWOTH) == 0) return false;
  const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
  return !(sticky && next != nullptr && next->st_uid == 0);
}

// The real path of an open entry.
std::optional<std::string> realPathOf(int fd) {
  char buffer[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(self.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(length));
}

Identity identityOf(uid_t uid, gid_t fallbackGroup) {
  Identity identity{uid, fallbackGroup, {}};
  const struct passwd* account = ::getpwuid(uid);
  if (account == nullptr) {
    identity.groups.push_back(fallbackGroup);
    return identity;
  }
  identity.gid = account->pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<size_t>(count));
  identity.groups = groups.empty() ? std::vector<gid_t>{account->pw_gid} : groups;
  return identity;
}

}  // namespace

std::optional<Identity> identityToRun(const std::string& program, const std::string& home) {
  if (::geteuid() != 0) return std::nullopt;
  posix::Descriptor programFd(posix::openPath(program, O_PATH | O_NOFOLLOW));
  posix::Descriptor homeFd(posix::openPath(home, O_PATH | O_DIRECTORY));
  struct stat programStatus {};
  struct stat homeStatus {};
  // What cannot be looked at is not trusted with root powers either.
  if (!programFd || !homeFd || ::fstat(programFd.get(), &programStatus) != 0 ||
      ::fstat(homeFd.get(), &homeStatus) != 0) {
    return identityOf(nobody(), static_cast<gid_t>(nobody()));
  }
  std::optional<uid_t> owner;
  if (homeStatus.st_uid != 0) owner = homeStatus.st_uid;
  if (!owner && programStatus.st_uid != 0) owner = programStatus.st_uid;
  bool anyone = anyoneMayChange(programStatus, nullptr) || anyoneMayChange(homeStatus, nullptr);

  // Every directory from the program's own up to "/", as the program really lies.
  const std::optional<std::string> real = realPathOf(programFd.get());
  if (!real) return identityOf(owner.value_or(nobody()), homeStatus.st_gid);
  struct stat below = programStatus;
  for (std::string directory = deletingLastComponent(*real);;
       directory = deletingLastComponent(directory)) {
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0)
      return identityOf(nobody(), static_cast<gid_t>(nobody()));
    if (!owner && status.st_uid != 0) owner = status.st_uid;
    if (anyoneMayChange(status, &below)) anyone = true;
    below = status;
    if (directory == "/") break;
  }
  if (owner)
    return identityOf(
        *owner, *owner == homeStatus.st_uid ? homeStatus.st_gid : static_cast<gid_t>(nobody()));
  if (anyone) return identityOf(nobody(), static_cast<gid_t>(nobody()));
  return std::nullopt;
}

}  // namespace rcpinstall::os
