// The process and file side of InstallUtil: the running check, the permission repair, the
// merge copy, the shell hand-off and the manifest version text.
#include "foundation/install_util_process.h"

#include <algorithm>

#include "foundation/install_util.h"
#include "foundation/string_util.h"
#include "os/child_process.h"
#include "os/file_system.h"
#include "os/process_list.h"
#include "os/user_identity.h"

namespace rcpinstall::InstallUtil {

std::vector<std::string> getAllProcess() {
  return os::runningExecutablePaths();
}

// A plain text prefix, on purpose without regard to path components: the product counts as
// running while anything under a path that begins with its bundle path runs.
bool checkBundleIsRunning(const std::string& bundlePath) {
  // The process list gives resolved paths, while the bundle's path may be spelled through a
  // link or with "..": both spellings are compared, so a running product is never missed.
  std::optional<std::string> resolved = os::FileSystem::resolvedPath(bundlePath);
  // A trailing "/" limits the prefix to whole components; the resolved spelling keeps it.
  if (resolved && bundlePath.ends_with('/') && !resolved->ends_with('/')) resolved->push_back('/');
  const std::vector<std::string> processes = getAllProcess();
  return std::any_of(processes.begin(), processes.end(), [&](const std::string& executable) {
    return executable.starts_with(bundlePath) || (resolved && executable.starts_with(*resolved));
  });
}

std::optional<std::string> standardOwner() {
  return os::invokingUserName();
}

bool changeAttributesForDirectory(const std::optional<os::Location>& path,
                                  const std::optional<std::string>& givenOwner) {
  if (!path || !os::FileSystem::exists(*path)) return false;
  const std::optional<std::string> owner = givenOwner ? givenOwner : standardOwner();
  os::FileSystem::Attributes attributes{owner, std::string(STANDARD_GROUP),
                                        static_cast<mode_t>(STANDARD_MODE)};
  // Without a known owner the group and mode are still repaired, but the entries did not get
  // the standard attributes.
  return os::FileSystem::setAttributesBelow(*path, attributes) && owner.has_value();
}

void copyFolderFrom(const std::optional<os::Location>& from,
                    const std::optional<os::Location>& to) {
  if (!from || !to) return;
  os::FileSystem::mergeItem(*from, *to);
}

void startProvisionWithArgs(const std::string& commandLine) {
  os::runShellCommand(commandLine);
}

std::string processDate(const std::string& text) {
  // One character as the target system counts them: one UTF-16 code unit.
  if (!text.empty() && text.size() <= 3 && StringUtil::toUtf16(text).size() == 1) {
    return "0" + text;
  }
  return text;
}

std::string generateNewManifestVersion(std::time_t moment) {
  std::tm local{};
  if (localtime_r(&moment, &local) == nullptr) return {};
  std::string version;
  version.reserve(10);
  for (int part : {local.tm_mday, local.tm_mon + 1, (local.tm_year + 1900) % 100, local.tm_hour,
                   local.tm_min}) {
    version += processDate(std::to_string(part));
  }
  return version;
}

std::string generateNewManifestVersion() {
  return generateNewManifestVersion(std::time(nullptr));
}

}  // namespace rcpinstall::InstallUtil
