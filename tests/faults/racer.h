// Another user racing root's runs: a child process, running as that user, repeats a loop of
// changes (names exchanged, links planted) until stopped, and counts in shared memory the
// changes that took place, so that a race row in which none did fails instead of passing.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <string>

namespace rcpinstall::faults {

class Racer {
 public:
  Racer(uid_t uid, gid_t gid, const std::function<void(Racer&)>& loop)
      : changes_(new (::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_ANONYMOUS, -1, 0)) std::atomic<long>(0)),
        pid_(::fork()) {
    if (pid_ != 0) return;
    if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
    for (;;) loop(*this);
  }
  ~Racer() { stop(); }

  // Exchanges two names (renameat2 RENAME_EXCHANGE), counted when the exchange took place.
  void exchange(const std::string& a, const std::string& b) {
    counted(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0);
  }
  void counted(bool tookPlace) {
    if (tookPlace) changes_->fetch_add(1);
  }
  long changes() const { return changes_->load(); }

  // Stops the racer; true when it was still running as the user (no failed switch).
  bool stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFSIGNALED(status);
  }

 private:
  static_assert(std::atomic<long>::is_always_lock_free, "the count is shared between processes");
  std::atomic<long>* changes_;  // one shared page, left mapped for the life of the test
  pid_t pid_;
};

}  // namespace rcpinstall::faults
