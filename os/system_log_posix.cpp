// The system log (POSIX implementation): syslog(3) plus a copy on every attached descriptor.
#include "os/system_log.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace rcpinstall::os::SystemLog {

namespace {

// The name the program was started by, without its directory: glibc's variable, the C
// library's getprogname() elsewhere (the BSDs and the target system).
const char* programName() {
#if defined(__GLIBC__)
  return program_invocation_short_name;
#else
  return ::getprogname();
#endif
}

std::mutex& attachedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<int>& attached() {
  static std::vector<int> fds;
  return fds;
}

const char* levelLabel(int level) {
  static const char* const labels[] = {"Emergency", "Alert",  "Critical", "Error",
                                       "Warning",   "Notice", "Info",     "Debug"};
  if (level < 0 || level > 7) return "Notice";
  return labels[level];
}

std::string format(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int needed = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

std::string shortHostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
  std::string name(host);
  size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "localhost" : name;
}

// "Dec  8 05:09:10 host patchapply[1234] <Info>: " in local time, month names in English
// whatever the locale.
std::string linePrefix(int level) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", months[local.tm_mon % 12],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string prefix = stamp;
  prefix += ' ';
  prefix += shortHostName();
  prefix += ' ';
  prefix += programName();
  prefix += '[' + std::to_string(::getpid()) + "] <" + levelLabel(level) + ">: ";
  return prefix;
}

// One write(2) per line. A pipe or terminal is written without blocking (a stuck reader
// loses the line instead of stopping the program), and a reader that has gone away raises
// no SIGPIPE: the signal is blocked for the write and a SIGPIPE it caused is taken back.
void writeLine(int fd, const std::string& line) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    (void)!::write(fd, line.data(), line.size());
    return;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return;
  bool madeNonBlocking = (flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;

  sigset_t pipeOnly, previousMask, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigemptyset(&pending);
  bool alreadyPending = false;
  bool masked = ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask) == 0;
  if (masked && ::sigpending(&pending) == 0) alreadyPending = sigismember(&pending, SIGPIPE) == 1;

  ssize_t written = ::write(fd, line.data(), line.size());
  int writeError = written < 0 ? errno : 0;

  if (masked) {
    if (writeError == EPIPE && !alreadyPending) {
      struct timespec zero {};
      while (::sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  }
  if (madeNonBlocking) ::fcntl(fd, F_SETFL, flags);
}

int syslogPriority(int level) {
  if (level < LOG_EMERG || level > LOG_DEBUG) return LOG_USER | LOG_NOTICE;
  return LOG_USER | level;
}

}  // namespace

void log(int level, const char* fmt, ...) {
  const int savedErrno = errno;
  va_list args;
  va_start(args, fmt);
  std::string message = format(fmt, args);
  va_end(args);

  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog(programName(), LOG_PID, LOG_USER); });
  ::syslog(syslogPriority(level), "%s", message.c_str());

  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> lock(attachedMutex());
    fds = attached();
  }
  if (!fds.empty()) {
    std::string line = linePrefix(level) + message;
    if (line.empty() || line.back() != '\n') line += '\n';
    for (int fd : fds) writeLine(fd, line);
  }
  errno = savedErrno;
}

void addLogFile(int fd) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(attachedMutex());
  auto& fds = attached();
  if (std::find(fds.begin(), fds.end(), fd) == fds.end()) fds.push_back(fd);
}

void removeLogFile(int fd) {
  std::lock_guard<std::mutex> lock(attachedMutex());
  auto& fds = attached();
  fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
}

}  // namespace rcpinstall::os::SystemLog
