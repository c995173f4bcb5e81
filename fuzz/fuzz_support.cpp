// Fuzz target support: property checks and the per-process scratch directory.
#include "fuzz/fuzz_support.h"

#include "os/utf8.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace rcpinstall::fuzz {

void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}

namespace {

std::string makeScratchDirectory() {
  struct stat info {};
  std::string base;
  if (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && ::access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::string pattern = base + "/rcp-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("rcp-fuzz: cannot make a scratch directory");
    std::abort();
  }
  return pattern;
}

std::string* scratch = nullptr;

void removeScratchDirectory() {
  if (scratch == nullptr) return;
  std::error_code error;
  std::filesystem::remove_all(*scratch, error);
}

}  // namespace

const std::string& scratchDirectory() {
  if (scratch == nullptr) {
    scratch = new std::string(makeScratchDirectory());
    std::atexit(removeScratchDirectory);
  }
  return *scratch;
}

bool isUtf8(std::string_view bytes) {
  return os::isValidUtf8(bytes);
}

}  // namespace rcpinstall::fuzz
