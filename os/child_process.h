// Child processes: started from an argument vector, never through a shell command line.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace rcpinstall::os {

// An account a child process runs as: user, primary group and supplementary groups.
struct Identity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

// The account to start a program with so that it never runs with more powers than those who
// can change it. None (this process's own identity) unless this process is root and another
// user owns the directory `home` the program belongs to, the program, or a directory on the way
// to it (links resolved), or everyone may change one of them: then the owner of `home`, else
// the program's owner, else the nearest other owner of a directory on the way, else the
// account "nobody". A tree that only root and the members of a group may change (a group that
// may write /Applications) still runs as root: those members administer the machine. The
// program is looked at without following a final link.
std::optional<Identity> identityToRun(const std::string& program, const std::string& home);

// Starts program with the arguments (the child's argv[0] is the program path, the arguments
// follow it), standard input, output and error on the null device, no other descriptor
// inherited, environment and working directory inherited; waits for it to end. Answers the exit
// status, 128 + signal when it was killed, or -1 when it could not be started.
// With an identity, the child takes it (supplementary groups, group, then user) before it
// starts the program, and is not started when it cannot.
int runAndWait(const std::string& program, const std::vector<std::string>& arguments,
               const std::optional<Identity>& identity = std::nullopt);

// Hands the text to /bin/sh -c and waits; the status as system(3) gives it.
int runShellCommand(const std::string& commandLine);

}  // namespace rcpinstall::os
