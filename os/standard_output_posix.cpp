// Capturing standard output on POSIX: the descriptor is duplicated away and back.
#include "os/standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/posix_support.h"

namespace rcpinstall::os {

bool standardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

std::string writeStandardOutput(std::string_view text) {
  if (std::fflush(stdout) != 0) return std::strerror(errno);
  if (!posix::writeAll(STDOUT_FILENO, text)) return std::strerror(errno);
  return {};
}

StandardOutputCapture::StandardOutputCapture(const std::string& path) {
  std::fflush(stdout);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
  }
  ::close(fd);
}

StandardOutputCapture::~StandardOutputCapture() {
  restore();
}

void StandardOutputCapture::restore() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  saved_ = -1;
}

}  // namespace rcpinstall::os
