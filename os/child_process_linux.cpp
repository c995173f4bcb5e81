// Child processes on Linux: posix_spawn with an argument vector and a clean descriptor table;
// a child that takes another account starts the program file that was looked at (execveat).
#include "os/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <signal.h>
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

namespace {

// In the child: starts the program, from the file the identity holds when it holds this one
// (execveat of the descriptor), else by its path; answers errno when it could not. A script's
// interpreter reads the script through /dev/fd/<descriptor>, which a descriptor closed on exec
// cannot give: the kernel refuses such a start with ENOENT, and the start is made again with
// that one descriptor left open.
int execute(const std::string& program, char* const* argv, const Identity& identity) {
  if (!identity.program || identity.program->path() != program) {
    ::execve(program.c_str(), argv, environ);
    return errno;
  }
  const int fd = identity.program->descriptor();
  ::execveat(fd, "", argv, environ, AT_EMPTY_PATH);
  if (errno != ENOENT || ::fcntl(fd, F_SETFD, 0) != 0) return errno;
  ::execveat(fd, "", argv, environ, AT_EMPTY_PATH);
  return errno;
}

// Started through fork, so that the child can give up root before the program runs: groups,
// then group, then user, and it checks that root cannot be had back. A child that cannot take
// the identity or start the program reports errno through the pipe and is not run.
int runAs(const std::string& program, char* const* argv, const Identity& identity) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return -1;
  }
  if (pid == 0) {
    ::close(report[0]);
    int error = 0;
    const int null = ::open("/dev/null", O_RDWR);
    sigset_t none;
    sigemptyset(&none);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0 ||
        ::sigprocmask(SIG_SETMASK, &none, nullptr) != 0 ||
        ::setgroups(identity.groups.size(), identity.groups.data()) != 0 ||
        ::setgid(identity.gid) != 0 || ::setuid(identity.uid) != 0 ||
        (identity.uid != 0 && (::setuid(0) == 0 || ::geteuid() == 0))) {
      error = errno != 0 ? errno : EPERM;
    } else {
      // Nothing this process holds open reaches the program; the report pipe closes on exec.
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
      error = execute(program, argv, identity);
    }
    (void)!::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  const int status = waitForExit(pid);
  return got > 0 ? -1 : status;
}

}  // namespace

int runAndWait(const std::string& program, const std::vector<std::string>& arguments,
               const std::optional<Identity>& identity) {
  if (program.empty()) return -1;
  SpawnSetup setup;
  if (!setup.prepare()) return -1;

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  if (identity) return runAs(program, argv.data(), *identity);
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
