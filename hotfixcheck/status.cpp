// hotfixcheck status: what an installed instance records, read without changing anything.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "apply/patch_apply.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/child_process.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/root.h"
#include "os/user_identity.h"
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
std::optional<std::string> provisioningLog(const InstanceService& instance,
                                           const std::string& rcpHome,
                                           const std::string& platformHome) {
  const std::string properties = appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (!fs::exists(instance.at(properties))) return std::nullopt;
  std::optional<std::string> data =
      JavaProperties(instance.at(properties)).getPropertyForKey(InstanceService::KEY_RCP_DATA);
  if (!data || data->empty()) return std::nullopt;
  std::string expanded =
      StringUtil::stringByReplacingOccurrencesOfString(*data, "${rcp.home}", platformHome);
  const char* home = std::getenv("HOME");
  expanded = StringUtil::stringByReplacingOccurrencesOfString(expanded, "${env.HOME}",
                                                              home != nullptr ? home : "");
  return appendComponent(appendComponent(expanded, LOG_DIR), PROVISION_LOG);
}

// The seconds between 1970-01-01 and 2001-01-01, the reference date of property-list dates.
constexpr double kPlistDateOffset = 978307200;

// Whether the record beside the error channel names this rcp home: the same text, or the
// same directory reached another way.
bool namesRcpHome(const os::PlistValue& context, const std::string& rcpHome) {
  const os::PlistValue* named = context.find(ERROR_CONTEXT_RCP_HOME);
  if (named == nullptr || named->asString() == nullptr) return false;
  if (*named->asString() == rcpHome) return true;
  std::error_code error;
  return std::filesystem::equivalent(*named->asString(), rcpHome, error) && !error;
}

// The record on the invoking user's error channel and the marker file of a failed install,
// when the record beside the channel says that the code concerns this rcp home.
std::optional<LastInstall> lastInstall(const std::string& errorMarkerFile,
                                       const std::string& rcpHome) {
  const std::optional<os::PlistValue> context = InstallUtil::getErrorContext();
  if (!context || !namesRcpHome(*context, rcpHome)) return std::nullopt;
  LastInstall last;
  if (const os::PlistValue* time = context->find(ERROR_CONTEXT_TIME);
      time != nullptr && time->asDate() != nullptr) {
    last.time = static_cast<long long>(time->asDate()->secondsSince2001 + kPlistDateOffset);
  }
  if (const std::optional<os::PlistValue> record = InstallUtil::getErrorMessage()) {
    if (const os::PlistValue* code = record->find(ERROR_CODE);
        code != nullptr && code->asInteger() != nullptr) {
      last.code = static_cast<int>(*code->asInteger());
    }
    if (const os::PlistValue* details = record->find(ERROR_DETAILS);
        details != nullptr && details->asArray() != nullptr) {
      for (const os::PlistValue& detail : *details->asArray()) {
        if (detail.asString() != nullptr) last.details.push_back(*detail.asString());
      }
    }
  }
  if (const std::optional<fs::EntryAttributes> marker = fs::entryAttributes(errorMarkerFile)) {
    last.markerFile = true;
    last.markerSince = marker->modified;
  }
  return last;
}

// The final status line of the provisioning log, read from its end: a log may grow past the
// size cap over the years, and only its last line counts.
std::optional<std::string> finalStatusOf(const os::Location& log, bool refuseLink) {
  const os::LimitedRead read = os::readRegularFileAtMost(
      log, MAX_FILE_SIZE, refuseLink ? os::FinalLink::kRefuse : os::FinalLink::kFollow, true);
  if (!read.contents) return std::nullopt;
  std::string_view text = *read.contents;
  // A tail may begin inside a line (and inside a character).
  if (read.tooLarge) text.remove_prefix(std::min(text.size(), text.find('\n') + 1));
  return finalStatusMessageFromLog(text);
}

// Whether the hotfix is installed, not, or half: the mark of a change that was cut off, or
// the platform and the record disagreeing about the hotfix that the staged removal manifest
// takes out. Also sets the version the instance holds by either account.
std::string installState(const InstanceService& instance, const std::string& deploy,
                         InstanceStatus& result) {
  std::optional<bool> platformHolds;
  std::optional<std::string> platformVersion;
  const std::string removal = appendComponent(deploy, PatchRemove::UNINSTALL_MANIFEST);
  if (fs::entryExists(instance.at(removal))) {
    const ManifestContents staged = readManifest(instance.at(removal));
    for (const InstallFeature& takenOut : staged.installFeatures) {
      platformHolds = platformHolds.value_or(false);
      for (const InstallFeature& installed : result.installFeatures) {
        if (installed.feature.id != takenOut.feature.id) continue;
        platformHolds = true;
        platformVersion = installed.feature.version;
      }
    }
  }
  result.heldHotfixVersion = result.hotfixVersion ? result.hotfixVersion : platformVersion;
  const bool recorded = result.hotfixVersion.has_value();
  if (instance.changeInProgress() || (platformHolds && *platformHolds != recorded)) {
    return INSTALL_STATE_HALF;
  }
  return recorded ? INSTALL_STATE_INSTALLED : INSTALL_STATE_NONE;
}

}  // namespace

InstanceStatus status(const std::string& platformHome, const std::string& errorMarkerFile) {
  InstanceStatus result;
  result.platformHome = platformHome;
  result.rcpHome = appendComponent(platformHome, RCP_DIRECTORY_NAME);
  result.lastInstall = lastInstall(errorMarkerFile, result.rcpHome);
  if (!InstanceService::rcpHomeExists(result.rcpHome)) return result;
  // The product is read as patchapply reads it: from its roots, through no link that the
  // user who owns the tree may have planted.
  result.bundle = enclosingBundle(result.rcpHome);
  const bool root = os::isRunningAsRoot();
  const std::shared_ptr<const os::Roots> roots =
      InstanceService::openProductRoots(result.bundle, result.rcpHome);
  if (!roots) {
    result.errors.push_back(result.rcpHome + " (the product could not be held open)");
    return result;
  }
  const InstanceService instance(roots, result.rcpHome);
  result.recognised = instance.hasInstanceInstalled();
  const std::string deploy = appendComponent(result.rcpHome, InstanceService::DEPLOY_DIRECTORY);
  const std::string installInfo = appendComponent(result.rcpHome, InstanceService::INSTALL_INFO);
  const std::string rcFile = appendComponent(platformHome, InstanceService::PROVISIONING_RC);
  std::vector<os::Location> records{
      instance.at(installInfo),
      instance.at(appendComponent(result.rcpHome, InstanceService::IGNITOR_PROPERTIES)),
      instance.at(rcFile)};
  if (const std::optional<std::string> bundle = InstallUtil::getBundlePath(result.rcpHome)) {
    records.push_back(
        instance.place(appendComponent(appendComponent(*bundle, "Contents"), "Info.plist")));
  }
  // A record above the size cap is not read at all, and none of the values it would give is
  // reported.
  if (const std::optional<std::string> oversized = firstOversized(records)) {
    result.errors.push_back(*oversized);
    return result;
  }
  result.applicationVersion = instance.getInstalledTargetVersion();
  result.version = instance.getInstalledVersion();
  result.hotfixVersion = instance.getCurrentHotfixVersion();
  result.basePluginVersion = instance.getBaseVersion();
  if (instance.unreadableInstallInfo()) {
    const FileText text = readCapped(instance.at(installInfo));
    result.errors.push_back(text.text ? installInfo + ": not a property list with a dictionary"
                                      : installInfo + ": " + text.reason);
  }

  if (result.recognised) {
    const ManifestContents manifest =
        readManifest(instance.at(appendComponent(deploy, InstanceService::INSTALL_MANIFEST)));
    if (!manifest.readable) {
      result.errors.push_back(appendComponent(deploy, InstanceService::INSTALL_MANIFEST) + ": " +
                              manifest.reason);
    }
    result.installFeatures = manifest.installFeatures;
  }
  std::vector<std::string> names =
      fs::listDirectory(instance.at(deploy)).value_or(std::vector<std::string>{});
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

  if (result.recognised && result.errors.empty()) {
    result.installState = installState(instance, deploy, result);
  }
  result.installBackups = instance.installBackups();

  if (fs::exists(instance.at(rcFile))) {
    result.provisioningResult =
        JavaProperties(instance.at(rcFile)).getPropertyForKey(InstanceService::KEY_RC);
  }
  if (const std::optional<std::string> log =
          provisioningLog(instance, result.rcpHome, platformHome)) {
    const auto read = [&] { result.finalStatus = finalStatusOf(instance.place(*log), root); };
    // A log outside the product (the workspace of the user the launcher runs as) is read with
    // that user's powers: root shows nothing of it that the user could not read.
    const std::optional<os::Identity> writer =
        root && !roots->holds(*log)
            ? os::identityToRun(
                  instance.at(appendComponent(result.rcpHome, InstanceService::LAUNCHER)),
                  instance.at(result.rcpHome))
            : std::nullopt;
    if (!writer) {
      read();
    } else if (os::userNameOf(writer->uid)) {
      os::runAsEffectiveUser(writer->uid, [&] {
        if (!os::isRunningAsRoot()) read();
      });
    }
  }
  if (result.bundle) result.running = InstallUtil::checkBundleIsRunning(*result.bundle);
  if (std::optional<std::string> warning = relativeRcpDataWarning(result.rcpHome)) {
    result.warnings.push_back(std::move(*warning));
  }
  return result;
}

InstallNeed needsInstall(const InstanceStatus& instance, const std::string& wanted) {
  InstallNeed need;
  if (!instance.errors.empty()) {
    need.message = "error: " + instance.errors.front();
    return need;
  }
  if (!instance.recognised) {
    need.needed = false;
    need.message = "not needed: no instance at " + instance.platformHome;
  } else if (instance.installState == INSTALL_STATE_HALF) {
    need.needed = true;
    need.message =
        "needed: half-installed" +
        (instance.heldHotfixVersion ? " (" + *instance.heldHotfixVersion + ")" : std::string()) +
        ", " + wanted + " wanted";
  } else if (!instance.hotfixVersion) {
    need.needed = true;
    need.message = "needed: no hotfix recorded, " + wanted + " wanted";
  } else if (versionOrdersBefore(*instance.hotfixVersion, wanted)) {
    need.needed = true;
    need.message = "needed: " + *instance.hotfixVersion + " recorded, " + wanted + " wanted";
  } else {
    need.needed = false;
    need.message = "not needed: " + *instance.hotfixVersion + " recorded, " + wanted + " wanted" +
                   (*instance.hotfixVersion == wanted ? "" : " (the recorded one orders after it)");
  }
  return need;
}

InventoryValue inventoryValue(const InstanceStatus& instance) {
  if (!instance.errors.empty()) return {std::nullopt, instance.errors.front()};
  if (!instance.recognised) return {"no instance", {}};
  if (instance.installState == INSTALL_STATE_HALF) {
    return {instance.heldHotfixVersion ? *instance.heldHotfixVersion + " (half-installed)"
                                       : std::string(INSTALL_STATE_HALF),
            {}};
  }
  return {instance.hotfixVersion.value_or("none"), {}};
}

}  // namespace rcpinstall::HotfixCheck
