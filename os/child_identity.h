// The pieces of the choice of a child's account that the platforms share; only os/ includes it.
#pragma once

#include <sys/types.h>

#include <optional>

#include "os/child_process.h"

namespace rcpinstall::os {

// The account "nobody" and its group, from the account and group databases (the ids differ
// between systems), else 65534.
uid_t nobodyUser();
gid_t nobodyGroup();

// The account with the uid: its primary group and groups from the databases, or, when the
// database has no entry for it, the fallback group (else nobody's) alone.
Identity identityOf(uid_t uid, std::optional<gid_t> fallbackGroup);

// The identity a choice names; none for this process's own.
std::optional<Identity> identityFor(const LaunchAccount& account);

}  // namespace rcpinstall::os
