// Interruptible work on Linux: the signals are blocked and read from a signalfd, polled beside
// the pipe that carries the child's answer.
#include "os/interruption.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

sigset_t interruptions() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  return set;
}

// In the child: a group of its own, death with the parent, the signals back to their defaults.
[[noreturn]] void runChild(const std::function<std::string()>& work, int answer, pid_t parent) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &standard, nullptr);
  const sigset_t set = interruptions();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  bool written = false;
  try {
    written = posix::writeAll(answer, work());
  } catch (...) {
    written = false;
  }
  std::fflush(nullptr);
  ::_exit(written ? 0 : 1);
}

}  // namespace

HeldInterruptions::HeldInterruptions() {
  const sigset_t set = interruptions();
  sigset_t old;
  ::sigprocmask(SIG_BLOCK, &set, &old);
  saved_ = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&old, signal)) saved_ |= 1ull << signal;
  }
}

HeldInterruptions::~HeldInterruptions() {
  sigset_t release;
  sigemptyset(&release);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if ((saved_ & (1ull << signal)) == 0) sigaddset(&release, signal);
  }
  ::sigprocmask(SIG_UNBLOCK, &release, nullptr);
}

InterruptibleOutcome runInterruptibly(const std::function<std::string()>& work) {
  InterruptibleOutcome outcome;
  const sigset_t set = interruptions();
  posix::Descriptor signals(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  int pipe[2];
  if (!signals || ::pipe2(pipe, O_CLOEXEC) != 0) {
    outcome.error = std::string("cannot start the work: ") + std::strerror(errno);
    return outcome;
  }
  posix::Descriptor reading(pipe[0]);
  posix::Descriptor writing(pipe[1]);
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    outcome.error = std::string("cannot start the work: ") + std::strerror(errno);
    return outcome;
  }
  if (child == 0) {
    reading.reset(-1);
    runChild(work, writing.get(), parent);
  }
  ::setpgid(child, child);  // also here, so that no signal finds the group not yet made
  writing.reset(-1);

  pollfd watched[2] = {{reading.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
  for (bool open = true; open;) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[1].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        outcome.signal = static_cast<int>(info.ssi_signo);
        ::kill(-child, SIGKILL);
        ::kill(child, SIGKILL);
        break;
      }
    }
    if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[65536];
      const ssize_t got = ::read(reading.get(), buffer, sizeof buffer);
      if (got > 0) {
        outcome.answer.append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        open = false;
      }
    }
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.finished = outcome.signal == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!outcome.finished && outcome.signal == 0) {
    outcome.error = WIFSIGNALED(status)
                        ? "the work ended on " + signalName(WTERMSIG(status))
                        : "the work ended with status " + std::to_string(WEXITSTATUS(status));
  }
  return outcome;
}

std::string signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGKILL:
      return "SIGKILL";
    default:
      return "signal " + std::to_string(signal);
  }
}

}  // namespace rcpinstall::os
