// The helper programs of the tools, found from the running program's own place.
#include "foundation/install_paths.h"

#include <optional>

#include "os/file_system.h"
#include "os/path.h"
#include "os/process_list.h"

namespace rcpinstall::InstallPaths {

std::string helperProgram(const std::string& name) {
  const std::optional<std::string> self = os::ownExecutablePath();
  const std::string directory = self ? os::deletingLastComponent(*self) : std::string(".");
  const std::string beside = os::appendComponent(directory, name);
  if (os::FileSystem::exists(beside)) return beside;
  const std::string installed =
      os::appendComponent(os::appendComponent(directory, LIBEXEC_FROM_BIN), name);
  return os::FileSystem::exists(installed) ? installed : beside;
}

}  // namespace rcpinstall::InstallPaths
