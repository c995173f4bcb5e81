// Who invoked the program, account lookups, and effective-user switches (POSIX implementation).
#include "os/user_identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rcpinstall::os {

namespace {

std::optional<std::string> loginNameOf(uid_t uid) {
  struct passwd* entry = ::getpwuid(uid);
  if (entry == nullptr || entry->pw_name == nullptr) return std::nullopt;
  return std::string(entry->pw_name);
}

std::vector<gid_t> currentGroups() {
  int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0) {
    count = ::getgroups(count, groups.data());
    groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
  }
  return groups;
}

// The account's groups as the login would set them; its primary group alone when the group
// database cannot say.
std::vector<gid_t> groupsOfAccount(const char* name, gid_t primary) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  for (int round = 0; round < 4; ++round) {
    int wanted = count;
    if (::getgrouplist(name, primary, groups.data(), &wanted) >= 0) {
      groups.resize(static_cast<size_t>(wanted));
      return groups;
    }
    if (wanted <= count) break;
    count = wanted;
    groups.resize(static_cast<size_t>(count));
  }
  return {primary};
}

struct Identity {
  uid_t euid;
  gid_t egid;
  std::vector<gid_t> groups;
};

// Going back must succeed: the program may not go on as the wrong user.
void restoreOrDie(const Identity& saved) {
  // The user first: only root may set the groups.
  bool ok = ::seteuid(saved.euid) == 0 && ::setegid(saved.egid) == 0 &&
            ::setgroups(saved.groups.size(), saved.groups.data()) == 0;
  if (ok && ::geteuid() == saved.euid && ::getegid() == saved.egid) return;
  int error = errno;
  std::fprintf(
      stderr, "fatal: could not switch back to effective user %u, group %u (%s); stopping\n",
      static_cast<unsigned>(saved.euid), static_cast<unsigned>(saved.egid), std::strerror(error));
  std::fflush(stderr);
  ::_exit(1);
}

}  // namespace

std::optional<std::string> invokingUserName() {
  const char* user = std::getenv("USER");
  if (user != nullptr && user[0] != '\0') return std::string(user);
  return loginNameOf(::getuid());
}

std::optional<std::string> currentUserName() {
  return loginNameOf(::geteuid());
}

bool isRunningAsRoot() {
  return ::geteuid() == 0;
}

std::optional<uid_t> lookupUserId(const std::string& name) {
  if (name.empty()) return std::nullopt;
  struct passwd* entry = ::getpwnam(name.c_str());
  if (entry == nullptr) return std::nullopt;
  return entry->pw_uid;
}

std::optional<gid_t> lookupGroupId(const std::string& name) {
  if (name.empty()) return std::nullopt;
  struct group* entry = ::getgrnam(name.c_str());
  if (entry == nullptr) return std::nullopt;
  return entry->gr_gid;
}

std::optional<std::string> homeDirectoryOfUser(uid_t uid) {
  struct passwd* entry = ::getpwuid(uid);
  if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
  return std::string(entry->pw_dir);
}

std::optional<std::string> userNameOf(uid_t uid) {
  struct passwd* entry = ::getpwuid(uid);
  if (entry == nullptr || entry->pw_name == nullptr) return std::nullopt;
  return std::string(entry->pw_name);
}

bool runAsEffectiveUser(uid_t uid, const std::function<void()>& fn) {
  if (::geteuid() == uid) {
    fn();
    return true;
  }
  struct passwd* entry = ::getpwuid(uid);
  if (::geteuid() != 0 || entry == nullptr) {
    fn();
    return false;
  }
  // getpwuid's entry lives in a static buffer that the group lookup may reuse: copy first.
  const gid_t gid = entry->pw_gid;
  const std::string name = entry->pw_name != nullptr ? entry->pw_name : "";
  const std::vector<gid_t> groups = groupsOfAccount(name.c_str(), gid);

  const Identity saved{::geteuid(), ::getegid(), currentGroups()};
  // Groups before the user: once the effective user is not root, they cannot be changed.
  if (::setgroups(groups.size(), groups.data()) != 0 || ::setegid(gid) != 0 ||
      ::seteuid(uid) != 0) {
    restoreOrDie(saved);
    fn();
    return false;
  }
  try {
    fn();
  } catch (...) {
    restoreOrDie(saved);
    throw;
  }
  restoreOrDie(saved);
  return true;
}

}  // namespace rcpinstall::os
