// Test support: the sandbox, running programs, scratch directories and whole-file helpers.
#include "tests/support/testing.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace rcpinstall::testing {

bool inSandbox() {
  const char* flag = std::getenv("RCP_SANDBOX");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

namespace {

struct Account {
  uid_t uid;
  gid_t gid;
  std::string name;
  std::string home;
};

std::optional<Account> lookupAccount(const std::string& name) {
  struct passwd* pw = ::getpwnam(name.c_str());
  if (pw == nullptr) return std::nullopt;
  return Account{pw->pw_uid, pw->pw_gid, pw->pw_name, pw->pw_dir ? pw->pw_dir : "/"};
}

double monotonicSeconds() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void childFail(int statusFd, const char* what) {
  int error = errno;
  char message[256];
  int n = std::snprintf(message, sizeof message, "%s: %s", what, std::strerror(error));
  if (n > 0) (void)!::write(statusFd, message, static_cast<size_t>(n));
  ::_exit(127);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const EnvOverrides& env,
                     const std::optional<std::string>& user,
                     const std::optional<std::string>& input, int timeoutSeconds) {
  RunResult result;
  if (argv.empty()) return result;

  std::optional<Account> account;
  if (user) {
    account = lookupAccount(*user);
    if (!account) {
      result.err = "no such user: " + *user;
      return result;
    }
  }

  // Everything the child needs is prepared before fork: it only calls async-signal-safe
  // functions afterwards.
  std::map<std::string, std::string> variables;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  if (account) {
    variables["USER"] = account->name;
    variables["LOGNAME"] = account->name;
    variables["HOME"] = account->home;
  }
  for (const auto& [name, value] : env) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : variables) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  std::vector<gid_t> groups;
  if (account) {
    int count = 64;
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(account->name.c_str(), account->gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      ::getgrouplist(account->name.c_str(), account->gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(count));
  }

  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1}, statusPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  if (input && ::pipe2(inPipe, O_CLOEXEC) != 0) inPipe[0] = inPipe[1] = -1;
  if (::pipe2(statusPipe, O_CLOEXEC) != 0) statusPipe[0] = statusPipe[1] = -1;

  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    int inFd = inPipe[0] >= 0 ? inPipe[0] : ::open("/dev/null", O_RDONLY);
    if (inFd < 0 || ::dup2(inFd, 0) < 0) childFail(statusPipe[1], "stdin");
    if (::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0)
      childFail(statusPipe[1], "stdout/stderr");
    if (account) {
      if (::setgroups(groups.size(), groups.data()) != 0) childFail(statusPipe[1], "setgroups");
      if (::setgid(account->gid) != 0) childFail(statusPipe[1], "setgid");
      if (::setuid(account->uid) != 0) childFail(statusPipe[1], "setuid");
    }
    ::execvpe(argp[0], argp.data(), envp.data());
    childFail(statusPipe[1], "exec");
  }

  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (inPipe[0] >= 0) ::close(inPipe[0]);
  if (statusPipe[1] >= 0) ::close(statusPipe[1]);
  if (pid < 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (inPipe[1] >= 0) ::close(inPipe[1]);
    if (statusPipe[0] >= 0) ::close(statusPipe[0]);
    return result;
  }

  std::string startError;
  std::string pendingInput = input.value_or("");
  size_t inputOffset = 0;
  if (inPipe[1] >= 0) {
    ::fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    if (pendingInput.empty()) {
      ::close(inPipe[1]);
      inPipe[1] = -1;
    }
  }
  const double deadline = monotonicSeconds() + timeoutSeconds;
  int fds[4] = {outPipe[0], errPipe[0], statusPipe[0], inPipe[1]};
  std::string* sinks[3] = {&result.out, &result.err, &startError};
  bool killed = false;
  for (;;) {
    struct pollfd pfds[4];
    int count = 0;
    int index[4];
    for (int i = 0; i < 4; ++i) {
      if (fds[i] < 0) continue;
      pfds[count].fd = fds[i];
      pfds[count].events = i == 3 ? POLLOUT : POLLIN;
      pfds[count].revents = 0;
      index[count++] = i;
    }
    if (count == 0) break;
    double left = deadline - monotonicSeconds();
    if (left <= 0 && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
      result.timedOut = true;
    }
    int ready =
        ::poll(pfds, static_cast<nfds_t>(count), killed ? 1000 : static_cast<int>(left * 1000) + 1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < count; ++k) {
      int i = index[k];
      if (pfds[k].revents == 0) continue;
      if (i == 3) {
        ssize_t n =
            ::write(fds[3], pendingInput.data() + inputOffset, pendingInput.size() - inputOffset);
        if (n > 0) inputOffset += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) inputOffset = pendingInput.size();
        if (inputOffset >= pendingInput.size()) {
          ::close(fds[3]);
          fds[3] = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
    // A child that forked a descendant keeping our pipes open must not keep us waiting
    // beyond the deadline either.
    if (killed && monotonicSeconds() > deadline + 5) break;
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!startError.empty()) {
    result.err += startError;
    return result;
  }
  result.started = true;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
    result.exitStatus = 128 + result.termSignal;
  }
  return result;
}

ScratchDirectory::ScratchDirectory(std::string_view tag, mode_t mode) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  std::string pattern = base + "/rcp-" + std::string(tag) + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buffer.data();
  if (mode != 0700 && ::chmod(path_.c_str(), mode) != 0) std::perror("chmod");
}

ScratchDirectory::~ScratchDirectory() {
  removeTree(path_);
}

std::string ScratchDirectory::operator/(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::optional<std::string> readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

bool writeFile(const std::string& path, std::string_view contents, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = true;
  while (!contents.empty()) {
    ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    contents.remove_prefix(static_cast<size_t>(n));
  }
  if (::fchmod(fd, mode) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);  // never follows symbolic links
  struct stat st {};
  return ::lstat(path.c_str(), &st) != 0;
}

std::string sourceDir() {
  return RCP_SOURCE_DIR;
}
std::string binaryDir() {
  return RCP_BINARY_DIR;
}
std::string binDir() {
  return std::string(RCP_BINARY_DIR) + "/bin";
}
std::string libDir() {
  return std::string(RCP_BINARY_DIR) + "/lib";
}
std::string corpusDir() {
  return std::string(RCP_SOURCE_DIR) + "/tests/corpus";
}

std::optional<std::string> python3() {
  if (::access("/usr/bin/python3", X_OK) == 0) return std::string("/usr/bin/python3");
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string list = path;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(':', pos);
    if (end == std::string::npos) end = list.size();
    std::string candidate = list.substr(pos, end - pos) + "/python3";
    if (end > pos && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace rcpinstall::testing
