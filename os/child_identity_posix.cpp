// Choosing the account a child program runs as, from who can change it: the choice from the
// status values, and the account's groups from the account and group databases (POSIX).
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/child_identity.h"
#include "os/child_process.h"

namespace rcpinstall::os {
namespace {

// Whether everyone may change the entry, or, for a directory on the way, swap the entry below
// it (`below`). In a sticky directory only an entry's owner (and the directory's) may rename it.
bool anyoneMayChange(const EntryStatus& status, const EntryStatus* below) {
  if ((status.mode & S_IWOTH) == 0) return false;
  const bool sticky = S_ISDIR(status.mode) && (status.mode & S_ISVTX) != 0;
  return !(sticky && below != nullptr && below->owner == 0);
}

}  // namespace

LaunchAccount chooseLaunchAccount(const LaunchTreeStatus& status) {
  const LaunchAccount nobody{LaunchAccount::As::kNobody, 0, std::nullopt};
  if (!status.home || !status.program) return nobody;
  std::optional<uid_t> owner;
  if (status.home->owner != 0) owner = status.home->owner;
  if (!owner && status.program->owner != 0) owner = status.program->owner;
  bool anyone = anyoneMayChange(*status.program, nullptr) || anyoneMayChange(*status.home, nullptr);
  bool complete = !status.directories.empty();
  const EntryStatus* below = &*status.program;
  for (const std::optional<EntryStatus>& directory : status.directories) {
    if (!directory) {
      complete = false;
      break;
    }
    if (!owner && directory->owner != 0) owner = directory->owner;
    if (anyoneMayChange(*directory, below)) anyone = true;
    below = &*directory;
  }
  if (owner) {
    return {LaunchAccount::As::kOwner, *owner,
            *owner == status.home->owner ? std::optional<gid_t>(status.home->group) : std::nullopt};
  }
  if (anyone || !complete) return nobody;
  return {};
}

Identity identityOf(uid_t uid, std::optional<gid_t> fallbackGroup) {
  const struct passwd* account = ::getpwuid(uid);
  if (account == nullptr) {
    const gid_t group = fallbackGroup.value_or(nobodyGroup());
    return Identity{uid, group, {group}};
  }
  Identity identity{uid, account->pw_gid, {}};
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

uid_t nobodyUser() {
  const struct passwd* account = ::getpwnam("nobody");
  return account != nullptr ? account->pw_uid : 65534;
}

gid_t nobodyGroup() {
  // Debian names the group "nogroup", other systems "nobody".
  for (const char* name : {"nogroup", "nobody"}) {
    if (const struct group* entry = ::getgrnam(name)) return entry->gr_gid;
  }
  return 65534;
}

std::optional<Identity> identityFor(const LaunchAccount& account) {
  switch (account.as) {
    case LaunchAccount::As::kThisProcess:
      return std::nullopt;
    case LaunchAccount::As::kOwner:
      return identityOf(account.owner, account.ownerGroup);
    case LaunchAccount::As::kNobody:
      return identityOf(nobodyUser(), nobodyGroup());
  }
  return std::nullopt;
}

}  // namespace rcpinstall::os
