// Shared helpers of the InstanceService sources.
#include "instance/instance_files.h"

#include <filesystem>
#include <system_error>

#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"

namespace rcpinstall::instance_files {

std::string platformHomeOf(const std::string& rcphome) {
  return os::deletingLastComponent(rcphome);
}

std::optional<JavaProperties> loadForRewrite(const std::string& path) {
  if (!os::FileSystem::entryExists(path)) return JavaProperties();
  return JavaProperties::load(path);
}

bool copyFileContent(const std::string& from, const std::string& to) {
  const std::optional<std::string> bytes = os::readWholeFile(from);
  if (!bytes) return false;
  return os::replaceFileAtomically(to, *bytes);
}

bool isSymbolicLink(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace rcpinstall::instance_files
