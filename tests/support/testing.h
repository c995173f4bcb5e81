// Test support: the sandbox, running programs, scratch directories and whole-file helpers.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rcpinstall::testing {

// True inside the bubblewrap sandbox of tests/sandbox-run (environment RCP_SANDBOX=1).
bool inSandbox();

// Skips the current test, with the reason, outside the sandbox or when not root.
#define RCP_REQUIRE_SANDBOX()                                                          \
  do {                                                                                 \
    if (!::rcpinstall::testing::inSandbox())                                           \
      GTEST_SKIP() << "needs the test sandbox (tests/sandbox-run sets RCP_SANDBOX=1)"; \
  } while (0)
#define RCP_REQUIRE_ROOT()                                        \
  do {                                                            \
    if (::geteuid() != 0) GTEST_SKIP() << "needs to run as root"; \
  } while (0)

struct RunResult {
  bool started = false;  // false when the program could not be started at all
  bool exited = false;   // ended through exit; otherwise killed by termSignal
  int exitStatus = -1;   // the exit status, or 128 + signal when killed
  int termSignal = 0;
  bool timedOut = false;  // killed because it ran longer than the limit
  std::string out;
  std::string err;
};

// Environment changes for a child: a value sets the variable, none removes it.
using EnvOverrides = std::map<std::string, std::optional<std::string>>;

// Runs argv (argv[0] looked up on PATH when it has no "/") and captures standard output and
// error. As a user: groups, group and user of that account are set in the child, and USER,
// LOGNAME and HOME are that account's unless the overrides say otherwise. The input, when
// given, is fed to standard input (else the null device). A child still running after
// timeoutSeconds is killed.
RunResult runProgram(const std::vector<std::string>& argv, const EnvOverrides& env = {},
                     const std::optional<std::string>& user = std::nullopt,
                     const std::optional<std::string>& input = std::nullopt,
                     int timeoutSeconds = 300);

// A fresh directory under TMPDIR (else /tmp), removed with its contents when destroyed. Mode
// 0700 unless given (0755 lets the sandbox's ordinary users in).
class ScratchDirectory {
 public:
  explicit ScratchDirectory(std::string_view tag = "scratch", mode_t mode = 0700);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// Whole-file helpers; readFile follows links, writeFile creates or truncates with the mode.
std::optional<std::string> readFile(const std::string& path);
bool writeFile(const std::string& path, std::string_view contents, mode_t mode = 0644);

// Removes a file or a tree without following links; true when nothing is left there.
bool removeTree(const std::string& path);

// Folders of this build and source tree.
std::string sourceDir();
std::string binaryDir();
std::string binDir();  // programs
std::string libDir();  // shared libraries
std::string corpusDir();

// A python3 interpreter for interop checks (/usr/bin/python3 first, else PATH); none when
// there is none.
std::optional<std::string> python3();

}  // namespace rcpinstall::testing
