// Child processes: started from an argument vector, never through a shell command line.
#pragma once

#include "os/root.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rcpinstall::os {

// A program file held open as it was looked at, so that the file started is the one looked
// at, whatever its path names by then.
class InspectedProgram {
 public:
  InspectedProgram(std::string path, int descriptor)
      : path_(std::move(path)), descriptor_(descriptor) {}
  ~InspectedProgram();
  InspectedProgram(const InspectedProgram&) = delete;
  InspectedProgram& operator=(const InspectedProgram&) = delete;
  const std::string& path() const { return path_; }
  int descriptor() const { return descriptor_; }

 private:
  std::string path_;
  int descriptor_;
};

// An account a child process runs as: user, primary group and supplementary groups, and the
// program it was chosen for, when that was held open (runAndWait then starts that file).
struct Identity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
  std::shared_ptr<const InspectedProgram> program = nullptr;
};

// The status of an entry, as far as the choice of account reads it.
struct EntryStatus {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;  // file type and permission bits, as st_mode
};

// What the choice of account looks at: the directory the program belongs to (home), the
// program file, and every directory from the program's own up to "/" as the program really
// lies, nearest first. An entry that could not be looked at is absent; the directories end at
// the first that could not be looked at (an absent first one: the real path is unknown).
struct LaunchTreeStatus {
  std::optional<EntryStatus> home;
  std::optional<EntryStatus> program;
  std::vector<std::optional<EntryStatus>> directories;
};

// Whom a program that root starts runs as: root itself, a user who can change it, or the
// account "nobody".
struct LaunchAccount {
  enum class As { kThisProcess, kOwner, kNobody };
  As as = As::kThisProcess;
  uid_t owner = 0;  // kOwner
  // kOwner: the group when the account database has no entry for the owner (the home's group
  // when the owner is the home's).
  std::optional<gid_t> ownerGroup;
  bool operator==(const LaunchAccount&) const = default;
};

// The choice itself, a function of the status values only. Root unless another user owns the
// home, the program or a directory on the way, or everyone may change one of them: then the
// owner of the home, else the program's owner, else the nearest other owner of a directory on
// the way, else "nobody". Everyone may change an entry that others may write, and an entry in
// a directory that others may write, unless that directory is sticky and root owns the entry.
// A tree that only root and the members of a group may change (a group that may write
// /Applications) runs as root: those members administer the machine. What could not be looked
// at is trusted with nothing: the owner found so far, else "nobody".
LaunchAccount chooseLaunchAccount(const LaunchTreeStatus& status);

// The account to start a program with so that it never runs with more powers than those who
// can change it (chooseLaunchAccount over what the program and `home` are now). None (this
// process's own identity) unless this process is root and the choice is another account. The
// program is looked at through a descriptor of the file its path leads to, held in the answer;
// the groups of the account come from the account and group databases.
std::optional<Identity> identityToRun(const Location& program, const Location& home);

// Starts program with the arguments (the child's argv[0] is the program path, the arguments
// follow it), standard input, output and error on the null device, no other descriptor
// inherited, environment and working directory inherited; waits for it to end. Answers the exit
// status, 128 + signal when it was killed, or -1 when it could not be started.
// With an identity, the child takes it (supplementary groups, group, then user) before it
// starts the program, and is not started when it cannot; when the identity holds this program
// open, the child starts the file held (execveat), not whatever the path names by then.
int runAndWait(const std::string& program, const std::vector<std::string>& arguments,
               const std::optional<Identity>& identity = std::nullopt);

// Hands the text to /bin/sh -c and waits; the status as system(3) gives it.
int runShellCommand(const std::string& commandLine);

}  // namespace rcpinstall::os
