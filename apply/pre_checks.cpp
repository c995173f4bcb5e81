// The pre-checks of patchapply, the removal of the installed hotfix, the hand-off to Hotfix
// and the error marker file.

#include "apply/patch_apply.h"
#include "foundation/install_manifest.h"
#include "foundation/string_util.h"
#include "instance/instance_service.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/shared_files.h"
#include "os/system_log.h"
#include "os/user_identity.h"
#include "remove/patch_remove.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::SystemLog::kError;
using os::SystemLog::kInfo;
using os::SystemLog::kWarning;

namespace {

void sendError(const PatchApplyLocations& locations, const ErrorContext& context, int code,
               const std::vector<std::string>& details = {}) {
  InstallUtil::sendErrorMessage(makeErrorRecord(code, details),
                                locations.hotfix.errorStoreDirectory, context);
}

const char* orNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

}  // namespace

bool versionOrdersBefore(const std::string& a, const std::string& b) {
  return StringUtil::toUtf16(a) < StringUtil::toUtf16(b);
}

bool createErrorMarkerFile(const std::string& path) {
  const std::string ownerName = InstallUtil::standardOwner().value_or("root");
  const std::optional<uid_t> owner = os::lookupUserId(ownerName);
  const std::optional<gid_t> group = os::lookupGroupId(ERROR_MARKER_GROUP);
  if (os::createFreshFile(path, ERROR_MARKER_MODE, owner, group)) return true;
  // An ordinary user may give the file neither to someone else nor to a group they are not
  // in; the package's scripts look for the file, so it is made with what can be had.
  if (group && os::createFreshFile(path, ERROR_MARKER_MODE, std::nullopt, group)) return true;
  if (os::createFreshFile(path, ERROR_MARKER_MODE, std::nullopt, std::nullopt)) return true;
  // A directory someone left at the name is never removed; the exit status alone then says
  // that the install failed.
  os::SystemLog::log(kWarning, "Not able to create the error marker file %s", path.c_str());
  return false;
}

namespace {

// The checks on a located target, in the order patchapply makes them; the first refusal ends
// them.
InstallDecision decideFor(const InstallTarget& target, const std::string& registerDirectory,
                          bool productAsFound) {
  InstallDecision decision;
  decision.target = target;
  decision.bundle = target.productBundle;
  const std::string& package = target.pathToInstallPackage;
  const std::string& destination = target.pathToInstallDestination;
  const auto refuse = [&decision](int code, std::vector<std::string> details) {
    decision.code = code;
    decision.details = std::move(details);
    decision.checks.back().passed = false;
    return decision;
  };

  os::SystemLog::log(kInfo, "Checking unsupported characters");
  decision.checks.push_back({"unsupported characters", true});
  if (InstallUtil::containUnSupportedCharacters(package) ||
      InstallUtil::containUnSupportedCharacters(destination)) {
    return refuse(kUnsupportedCharacters, {});
  }

  // Platform presence.
  os::SystemLog::log(kInfo, "Checking platform");
  decision.checks.push_back({"platform installed", true});
  const std::optional<std::string> bundleName = settingsString(target.properties, KEY_BUNDLE_NAME);
  const std::optional<std::string> rcpHome = settingsString(target.properties, KEY_RCP_HOME);
  decision.rcpHome = rcpHome;
  bool platformInstalled = false;
  if (rcpHome && fs::exists(*rcpHome)) {
    os::SystemLog::log(kInfo, "Checking target platform under %s.", rcpHome->c_str());
    // From here on the product is reached only through its roots, as the checks find it; a
    // product that cannot be held is not worked on: no platform to install into.
    decision.roots = InstanceService::openProductRoots(decision.bundle, *rcpHome, productAsFound);
    platformInstalled =
        decision.roots && InstanceService(decision.roots, rcpHome).hasInstanceInstalled();
  }
  if (!platformInstalled) {
    std::vector<std::string> details{destination};
    if (bundleName) details.push_back(*bundleName + APP_EXTENSION);
    return refuse(kInstalledPlatformNotFound, std::move(details));
  }

  // Running check, on the bundle the location rule gives for the destination as resolved.
  os::SystemLog::log(kInfo, "Checking whether platform is running.");
  decision.checks.push_back({"product not running", true});
  // The bundle that gave the rcp home stands in should the rule give none, so that the check
  // is never skipped for a platform that is being installed into.
  const std::string bundle = productBundlePath(target.properties, destination, registerDirectory)
                                 .value_or(target.productBundle.value_or(""));
  if (!bundle.empty() && InstallUtil::checkBundleIsRunning(bundle)) {
    decision.bundle = bundle;
    const std::string name = bundleName.value_or(os::lastComponent(bundle));
    refuse(kInstanceIsRunning, {name});
    os::SystemLog::log(kInfo, "%s is running.", name.c_str());
    return decision;
  }

  // Version order.
  os::SystemLog::log(kInfo, "Checking hotfix version");
  decision.checks.push_back({"no higher hotfix installed", true});
  const std::optional<std::string> packageVersion =
      settingsString(target.properties, KEY_PACKAGE_VERSION);
  const std::optional<std::string> installedVersion =
      InstanceService(decision.roots, rcpHome).getCurrentHotfixVersion();
  decision.packageVersion = packageVersion;
  decision.installedHotfixVersion = installedVersion;
  os::SystemLog::log(kInfo, "Current hotfix version : %s . ", orNull(packageVersion));
  os::SystemLog::log(kInfo, "Installed hotfix version : %s . ", orNull(installedVersion));
  if (packageVersion && installedVersion &&
      versionOrdersBefore(*packageVersion, *installedVersion)) {
    os::SystemLog::log(kError, "High hotfix version has been installed ");
    return refuse(
        kHotfixFoundHigherVersion,
        {bundleName ? os::appendComponent(destination, *bundleName + APP_EXTENSION) : bundle});
  }

  // The installed hotfix goes first, also one of the same version (it is then installed
  // again).
  decision.removesInstalledHotfix =
      InstanceService(decision.roots, rcpHome).getCurrentHotfixVersion().has_value();
  return decision;
}

}  // namespace

InstallDecision decideInstall(const std::string& pathToInstallPackage,
                              const std::string& pathToInstallDestination,
                              const std::string& registerDirectory, bool productAsFound) {
  return decideFor(
      resolveInstallTarget(pathToInstallPackage, pathToInstallDestination, registerDirectory),
      registerDirectory, productAsFound);
}

std::optional<std::vector<std::string>> installManifestRefusal(const InstallDecision& decision) {
  const Hotfix hotfix(decision.target.pathToInstallPackage,
                      decision.target.pathToInstallDestination, decision.rcpHome, {},
                      decision.roots);
  // Without settings the workflow stops before it does anything, with no code of its own.
  if (!hotfix.pathToInstallPackage() || !hotfix.preference()) return std::nullopt;
  // The staging's own check of the manifest.
  if (const std::optional<Refusal> refusal = hotfix.installManifestRefusal()) {
    return refusal->details;
  }
  // Without a platform to stage into the staging fails just the same.
  if (!decision.rcpHome || !InstanceService::rcpHomeExists(*decision.rcpHome)) {
    return std::vector<std::string>{HOTFIX_MANIFEST_NAME};
  }
  return std::nullopt;
}

bool carryOutInstall(const InstallDecision& decision, const PatchApplyLocations& locations,
                     StepProgress* progress) {
  // The code on the channel concerns this product, also a refusal's made before its rcp home
  // was settled.
  const ErrorContext context{decision.target.pathToInstallDestination,
                             decision.rcpHome
                                 ? decision.rcpHome
                                 : settingsString(decision.target.properties, KEY_RCP_HOME)};
  if (!decision.goesAhead()) {
    sendError(locations, context, decision.code, decision.details);
    return false;
  }
  InstallUtil::setErrorContext(context, locations.hotfix.errorStoreDirectory);
  // A package that cannot be installed is refused before anything changes, also before the
  // installed hotfix is removed.
  if (const std::optional<std::vector<std::string>> refusal = installManifestRefusal(decision)) {
    sendError(locations, context, kInstallFileNotFound, *refusal);
    createErrorMarkerFile(locations.errorMarkerFile);
    return false;
  }
  // The product tree as the checks found it (its roots), and nothing swapped into it later.
  if (!decision.rcpHome || !decision.roots) {
    sendError(locations, context, kInstalledPlatformNotFound,
              {decision.rcpHome.value_or(decision.target.pathToInstallDestination)});
    return false;
  }
  InstanceService instance(decision.roots, decision.rcpHome);
  if (!instance.markChangeInProgress(InstanceService::INSTALL_OPERATION)) {
    os::SystemLog::log(kWarning, "Not able to mark the install in progress in %s",
                       orNull(decision.rcpHome));
  }
  // A failed removal does not stop the install.
  if (decision.removesInstalledHotfix) {
    PatchRemove removal(decision.roots, decision.rcpHome);
    removal.showProgress(progress);
    removal.uninstallOldHotfix();
  }

  // The workflow works on the platform these checks were made on.
  Hotfix hotfix(decision.target.pathToInstallPackage, decision.target.pathToInstallDestination,
                decision.rcpHome, locations.hotfix, decision.roots);
  hotfix.showProgress(progress);
  const bool installed = hotfix.installNewHotfix();
  instance.clearChangeInProgress();
  if (!installed) createErrorMarkerFile(locations.errorMarkerFile);
  return installed;
}

}  // namespace rcpinstall
