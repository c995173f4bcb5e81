// Who invoked the program, account lookups, and running a step as another effective user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace rcpinstall::os {

// The invoking user: the environment variable USER, else the login name of the real user.
std::optional<std::string> invokingUserName();
// The login name of the user the process runs as (the effective user), no environment.
std::optional<std::string> currentUserName();

// Whether the process runs with root powers (effective user id 0).
bool isRunningAsRoot();

std::optional<uid_t> lookupUserId(const std::string& name);
std::optional<gid_t> lookupGroupId(const std::string& name);
std::optional<std::string> homeDirectoryOfUser(uid_t uid);
std::optional<std::string> userNameOf(uid_t uid);

// Runs fn with the effective user (and the effective and supplementary groups) of the
// account uid, then switches back. When the process cannot switch, fn runs with the current
// identity and the answer is false. When the switch back fails, the program prints a message
// to standard error and exits at once: it must never go on as the wrong user.
bool runAsEffectiveUser(uid_t uid, const std::function<void()>& fn);

}  // namespace rcpinstall::os
