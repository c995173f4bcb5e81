// Child processes on POSIX: posix_spawn with an argument vector and a clean descriptor table.
#include "os/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace rcpinstall::os {
namespace {

// Waits for the child, retrying when a signal interrupts the wait.
int waitForExit(pid_t pid) {
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) break;
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Owns posix_spawn's file actions and attributes for the length of one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSetup() {
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input, output and error on the null device; every other descriptor closed, so
  // nothing this process holds open (trace log, locks, directories) reaches the child.
  bool prepare() {
    if (!actionsReady_ || !attributesReady_) return false;
    if (posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&actions_, 1, 2) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(&actions_, 3) != 0) {
      return false;
    }
    // The child starts with default signal dispositions and an empty signal mask, whatever
    // this process ignores or blocks.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    return posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) ==
               0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actionsReady_ = false;
  bool attributesReady_ = false;
};

}  // namespace

int runAndWait(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty()) return -1;
  SpawnSetup setup;
  if (!setup.prepare()) return -1;

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // glibc reports a failed exec as the result of posix_spawn itself.
  if (posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(),
                  environ) != 0) {
    return -1;
  }
  return waitForExit(pid);
}

int runShellCommand(const std::string& commandLine) {
  return std::system(commandLine.c_str());
}

}  // namespace rcpinstall::os
