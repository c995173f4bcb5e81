// Another user racing root's runs: a child process that runs as that user and repeats a loop
// of changes (names exchanged, links planted) until it is stopped, and counts the changes that
// took place, so that a race row whose changes all fail reads as a failure, not as a pass.
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
  // Starts loop() over and over as uid/gid in a child process.
  Racer(uid_t uid, gid_t gid, const std::function<void(Racer&)>& loop) {
    // The count lives in memory the child shares with this process.
    void* shared = ::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    changes_ = new (shared) std::atomic<long>(0);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
      for (;;) loop(*this);
    }
  }
  ~Racer() {
    stop();
    if (changes_ != nullptr) ::munmap(changes_, sizeof(std::atomic<long>));
  }
  Racer(const Racer&) = delete;
  Racer& operator=(const Racer&) = delete;

  // Exchanges two names (renameat2 RENAME_EXCHANGE); counted when the exchange took place.
  void exchange(const std::string& a, const std::string& b) {
    counted(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0);
  }
  // Counts a change of another kind (a link planted) when it took place.
  void counted(bool tookPlace) {
    if (tookPlace) changes_->fetch_add(1, std::memory_order_relaxed);
  }

  // Stops the racer; true when it was still running as the user (not ended by a failed
  // switch, nor never started).
  bool stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFSIGNALED(status);
  }
  // The changes that took place so far.
  long changes() const { return changes_ == nullptr ? 0 : changes_->load(); }

 private:
  static_assert(std::atomic<long>::is_always_lock_free, "the count is shared between processes");
  pid_t pid_ = -1;
  std::atomic<long>* changes_ = nullptr;
};

}  // namespace rcpinstall::faults
