// Fuzz target support: property checks and the per-process scratch directory.
#include "fuzz/fuzz_support.h"

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
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size_t length = 1;
    unsigned codePoint = lead;
    unsigned minimum = 0;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
      } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
      } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
      } else {
        return false;
      }
      if (bytes.size() - i < length) return false;
      for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(bytes[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        codePoint = (codePoint << 6) | (next & 0x3F);
      }
      if (codePoint < minimum || codePoint > 0x10FFFF ||
          (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

}  // namespace rcpinstall::fuzz
