// The process list from /proc: one readlink of <pid>/exe per process; this process's own
// executable from /proc/self/exe.
#include "os/process_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <utility>

namespace rcpinstall::os {
namespace {

// The pid a /proc entry names; none for entries that are not all digits.
bool parsePid(const char* name, long& pid) {
  const char* end = name;
  while (*end >= '0' && *end <= '9') ++end;
  if (end == name || *end != '\0') return false;
  return std::from_chars(name, end, pid).ec == std::errc();
}

// The target of the link `name` in the directory; false when it cannot be read.
bool readLinkAt(int directory, const std::string& name, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = readlinkat(directory, name.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      target = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::vector<std::string> runningExecutablePaths(const std::string& procDirectory) {
  std::vector<std::pair<long, std::string>> found;
  DIR* listing = opendir(procDirectory.c_str());
  if (listing == nullptr) return {};
  int directory = dirfd(listing);
  while (dirent* entry = readdir(listing)) {
    long pid = 0;
    if (!parsePid(entry->d_name, pid)) continue;
    std::string target;
    // Kernel threads have no executable, and other users' processes may be unreadable.
    if (!readLinkAt(directory, std::string(entry->d_name) + "/exe", target)) continue;
    if (target.empty()) continue;
    found.emplace_back(pid, std::move(target));
  }
  closedir(listing);

  std::sort(found.begin(), found.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  std::vector<std::string> paths;
  paths.reserve(found.size());
  for (auto& [pid, path] : found) paths.push_back(std::move(path));
  return paths;
}

std::optional<std::string> ownExecutablePath() {
  std::string target;
  if (!readLinkAt(AT_FDCWD, "/proc/self/exe", target) || target.empty()) return std::nullopt;
  return target;
}

}  // namespace rcpinstall::os
