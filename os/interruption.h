// Work that the person at the terminal, or the system, may interrupt: it runs in a child
// process that leads a process group of its own, so that an interruption ends the work and
// every program it started at once, and this process can still clean up after it.
#pragma once

#include <functional>
#include <string>

namespace rcpinstall::os {

// SIGINT, SIGTERM and SIGHUP are held back (blocked) for the scope of this object; one that
// comes meanwhile and that no runInterruptibly took is delivered when the scope ends.
class HeldInterruptions {
 public:
  HeldInterruptions();
  ~HeldInterruptions();
  HeldInterruptions(const HeldInterruptions&) = delete;
  HeldInterruptions& operator=(const HeldInterruptions&) = delete;

 private:
  unsigned long long saved_ = 0;
};

struct InterruptibleOutcome {
  bool finished = false;  // the child ran the work to its end and handed its answer over
  int signal = 0;         // the SIGINT, SIGTERM or SIGHUP that ended the work; 0 if none came
  std::string answer;     // what the work answered
  std::string error;      // why the child could not be started or gave no answer
};

// Runs work() in a forked child and answers what it returned. The child leads a new process
// group and dies when this process dies. Within a HeldInterruptions scope, a SIGINT, SIGTERM or
// SIGHUP to this process meanwhile kills the child's whole group (the child and the programs
// it started, SIGKILL) and is answered in `signal`; this process goes on.
InterruptibleOutcome runInterruptibly(const std::function<std::string()>& work);

// "SIGINT", "SIGTERM", "SIGHUP", else "signal <n>".
std::string signalName(int signal);

}  // namespace rcpinstall::os
