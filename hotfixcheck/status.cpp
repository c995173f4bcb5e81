// hotfixcheck status: what an installed instance records, read without changing anything.
#include <algorithm>
#include <cstdlib>

#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "remove/patch_remove.h"
#include "resultpane/provision_result.h"

namespace rcpinstall::HotfixCheck {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

// The application bundle around a path: the last component that ends in ".app".
std::optional<std::string> enclosingBundle(const std::string& path) {
  if (std::optional<std::string> bundle = InstallUtil::getBundlePath(path)) return bundle;
  for (std::string at = path; !at.empty() && at != "/"; at = os::deletingLastComponent(at)) {
    if (os::lastComponent(at).ends_with(APP_EXTENSION)) return at;
  }
  return std::nullopt;
}

// <rcp.data>/logs/provisioning.log, with the variables the launcher expands.
std::optional<std::string> provisioningLog(const std::string& rcpHome,
                                           const std::string& platformHome) {
  const std::string properties = appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (!fs::exists(properties)) return std::nullopt;
  std::optional<std::string> data =
      JavaProperties(properties).getPropertyForKey(InstanceService::KEY_RCP_DATA);
  if (!data || data->empty()) return std::nullopt;
  std::string expanded =
      StringUtil::stringByReplacingOccurrencesOfString(*data, "${rcp.home}", platformHome);
  const char* home = std::getenv("HOME");
  expanded = StringUtil::stringByReplacingOccurrencesOfString(expanded, "${env.HOME}",
                                                              home != nullptr ? home : "");
  return appendComponent(appendComponent(expanded, LOG_DIR), PROVISION_LOG);
}

}  // namespace

InstanceStatus status(const std::string& platformHome) {
  InstanceStatus result;
  result.platformHome = platformHome;
  result.rcpHome = appendComponent(platformHome, RCP_DIRECTORY_NAME);
  const InstanceService instance(result.rcpHome);
  result.recognised = instance.hasInstanceInstalled();
  if (!instance.pathToRcphome()) return result;

  result.bundle = enclosingBundle(result.rcpHome);
  result.applicationVersion = instance.getInstalledTargetVersion();
  result.version = instance.getInstalledVersion();
  result.hotfixVersion = instance.getCurrentHotfixVersion();
  result.basePluginVersion = instance.getBaseVersion();

  const std::string deploy = appendComponent(result.rcpHome, InstanceService::DEPLOY_DIRECTORY);
  if (result.recognised) {
    result.installFeatures =
        readManifest(appendComponent(deploy, InstanceService::INSTALL_MANIFEST)).installFeatures;
  }
  std::vector<std::string> names = fs::listDirectory(deploy).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name == InstanceService::UPDATE_MANIFEST || name == PatchRemove::UNINSTALL_MANIFEST ||
        name == PatchRemove::ORRERY_UNINSTALL_MANIFEST) {
      result.stagedManifests.push_back(name);
    } else if (name.starts_with("install.") && name.ends_with(".xml") &&
               name != InstanceService::INSTALL_MANIFEST) {
      result.backups.push_back(name);
    }
  }

  const std::string rcFile = appendComponent(platformHome, InstanceService::PROVISIONING_RC);
  if (fs::exists(rcFile)) {
    result.provisioningResult = JavaProperties(rcFile).getPropertyForKey(InstanceService::KEY_RC);
  }
  if (const std::optional<std::string> log = provisioningLog(result.rcpHome, platformHome)) {
    if (const std::optional<std::string> text = os::readWholeFile(*log)) {
      result.finalStatus = finalStatusMessageFromLog(*text);
    }
  }
  if (result.bundle) result.running = InstallUtil::checkBundleIsRunning(*result.bundle);
  return result;
}

}  // namespace rcpinstall::HotfixCheck
