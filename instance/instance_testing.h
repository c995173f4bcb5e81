// Test helpers of the instance tests: a scratch platform instance and a system log capture.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall::instance_testing {

// Collects what the system log writes to an attached descriptor, as "<Level>: message".
class LogCapture {
 public:
  LogCapture() : file_(dir_ / "log") {
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    os::SystemLog::addLogFile(fd_);
  }
  ~LogCapture() {
    os::SystemLog::removeLogFile(fd_);
    ::close(fd_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(testing::readFile(file_).value_or(""));
    for (std::string line; std::getline(in, line);) {
      const size_t level = line.find("] <");
      result.push_back(level == std::string::npos ? line : line.substr(level + 2));
    }
    return result;
  }

 private:
  testing::ScratchDirectory dir_{"log"};
  std::string file_;
  int fd_ = -1;
};

// A platform instance in a scratch directory: <scratch>/Orrery.app/Contents/MacOS/rcp with
// deploy/ and eclipse/plugins/; files are added by the tests.
class ScratchInstance {
 public:
  ScratchInstance() {
    for (const std::string& d : {bundle(), bundle() + "/Contents", platformHome(), rcphome(),
                                 deploy(), rcphome() + "/eclipse", plugins()}) {
      ::mkdir(d.c_str(), 0755);
    }
  }
  std::string scratch() const { return dir_.path(); }
  std::string bundle() const { return dir_ / "Orrery.app"; }
  std::string platformHome() const { return bundle() + "/Contents/MacOS"; }
  std::string rcphome() const { return platformHome() + "/rcp"; }
  std::string deploy() const { return rcphome() + "/deploy"; }
  std::string plugins() const { return rcphome() + "/eclipse/plugins"; }
  std::string operator/(std::string_view name) const { return rcphome() + "/" + std::string(name); }

  // Writes a file below the rcp home (the relative path's directories must exist).
  bool write(std::string_view relative, std::string_view contents, mode_t mode = 0644) const {
    return testing::writeFile(*this / relative, contents, mode);
  }
  std::string read(std::string_view relative) const {
    return testing::readFile(*this / relative).value_or("<missing>");
  }
  bool has(std::string_view relative) const {
    struct stat st {};
    return ::lstat((*this / relative).c_str(), &st) == 0;
  }

 private:
  testing::ScratchDirectory dir_{"instance"};
};

inline mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace rcpinstall::instance_testing
