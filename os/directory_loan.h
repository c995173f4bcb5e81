// Lending a directory of root's to another account for the length of one run, and records
// about a directory that only root may write.
//
// The platform launcher may run as the ordinary user who owns the product tree, and must
// leave its result in a directory of root's. The loan gives that account the least it needs:
// an access-control entry that lets it create entries, with the sticky bit set, so that the
// entries already there (root's) cannot be renamed, replaced or removed by it; owner and group
// stay as they are. Before anything changes, what the directory was (its mode and access-control
// list) is recorded on the directory where only root may write (an extended attribute of the
// trusted namespace, which no ordinary user can read or set), so that a run stopped during the
// loan is undone by the next one from a record the borrower cannot forge.
#pragma once

#include "os/root.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace rcpinstall::os {

// A record of root's on a directory (reached as the os/ services reach any location: below a
// root, through no link). None when there is none or it cannot be read; setting and removing
// answer whether it took place (false without root powers, or where the file system keeps no
// such records).
std::optional<std::string> rootRecord(const Location& directory, const std::string& name);
bool setRootRecord(const Location& directory, const std::string& name, const std::string& value);
bool removeRootRecord(const Location& directory, const std::string& name);

// Lets the account create entries in the directory until returnLentDirectory. False, with the
// directory as it was, when it could not be lent (no root powers, a file system without
// access-control lists).
bool lendDirectory(const Location& directory, uid_t account);
// Undoes a loan recorded on the directory (this run's, or one of a run that was stopped):
// mode and access-control list as they were, the record removed. True when nothing is lent
// now.
bool returnLentDirectory(const Location& directory);

}  // namespace rcpinstall::os
