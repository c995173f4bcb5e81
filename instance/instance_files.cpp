// Shared helpers of the InstanceService sources.
#include "instance/instance_files.h"

#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"

namespace rcpinstall::instance_files {

std::string platformHomeOf(const std::string& rcphome) {
  return os::deletingLastComponent(rcphome);
}

std::optional<JavaProperties> loadForRewrite(const os::Location& path) {
  if (!os::FileSystem::entryExists(path)) return JavaProperties();
  return JavaProperties::load(path);
}

bool copyFileContent(const os::Location& from, const os::Location& to) {
  const std::optional<std::string> bytes = os::readWholeFile(from);
  if (!bytes) return false;
  return os::replaceFileAtomically(to, *bytes);
}

bool isSymbolicLink(const os::Location& path) {
  const std::optional<os::FileSystem::EntryAttributes> entry =
      os::FileSystem::entryAttributes(path);
  return entry && entry->isLink;
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace rcpinstall::instance_files
