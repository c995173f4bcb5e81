// Path arithmetic on plain text paths (POSIX implementation).
#include "os/path.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace rcpinstall::os {

namespace {

// The path without its trailing slashes; a path of slashes only stays "/".
std::string_view trimTrailingSlashes(std::string_view path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

}  // namespace

std::string appendComponent(std::string_view base, std::string_view component) {
  if (base.empty()) return std::string(component);
  size_t start = 0;
  while (start < component.size() && component[start] == '/') ++start;
  component.remove_prefix(start);
  std::string_view head = trimTrailingSlashes(base);
  if (component.empty()) return std::string(head);
  std::string result(head);
  if (result.back() != '/') result += '/';
  result += component;
  return result;
}

std::string appendComponent(const std::string& base, std::string_view component) {
  return appendComponent(std::string_view(base), component);
}

std::string appendComponent(const char* base, std::string_view component) {
  return appendComponent(std::string_view(base ? base : ""), component);
}

std::optional<std::string> appendComponent(const std::optional<std::string>& base,
                                           std::string_view component) {
  if (!base) return std::nullopt;
  return appendComponent(std::string_view(*base), component);
}

std::string deletingLastComponent(std::string_view path) {
  std::string_view trimmed = trimTrailingSlashes(path);
  if (trimmed == "/") return "/";
  size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = trimTrailingSlashes(trimmed.substr(0, slash + 1));
  return std::string(parent);
}

std::string lastComponent(std::string_view path) {
  std::string_view trimmed = trimTrailingSlashes(path);
  if (trimmed == "/") return "/";
  size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return std::string(trimmed);
  return std::string(trimmed.substr(slash + 1));
}

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  const bool absolute = path.front() == '/';
  if (absolute) parts.emplace_back("/");
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string_view::npos) next = path.size();
    if (next > pos) parts.emplace_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  // A trailing slash after a name is a component of its own, as the target system splits.
  if (parts.size() > (absolute ? 1u : 0u) && path.back() == '/') parts.emplace_back("/");
  return parts;
}

std::optional<std::string> absolutePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::unique_ptr<char, decltype(&std::free)> directory(::getcwd(nullptr, 0), &std::free);
  if (!directory) return std::nullopt;
  return path.empty() ? std::string(directory.get()) : appendComponent(directory.get(), path);
}

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd* entry = getpwuid(geteuid());
  if (entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return "";
}

std::string expandTilde(std::string_view path) {
  if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) {
    return std::string(path);
  }
  std::string home = homeDirectory();
  if (home.empty()) return std::string(path);
  return appendComponent(home, path.substr(1));
}

}  // namespace rcpinstall::os
