// The entry routine of patchapply: trace log, error channel, settings and product location.
#include <cstdio>

#include "apply/patch_apply.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::SystemLog::kInfo;

std::optional<std::string> productBundlePath(const os::PlistValue& properties,
                                             const std::string& pathToInstallDestination,
                                             const std::string& registerDirectory) {
  const std::optional<std::string> bundleName = settingsString(properties, KEY_BUNDLE_NAME);
  if (!bundleName || bundleName->empty()) return std::nullopt;
  const std::string atDestination =
      os::appendComponent(pathToInstallDestination, *bundleName + APP_EXTENSION);

  const os::PlistValue* multiInstance = properties.find(KEY_ALLOW_MULTI_INSTANCE);
  if (multiInstance != nullptr && InstallUtil::readsAsTrue(*multiInstance)) return atDestination;

  const std::optional<std::string> registered =
      RegisterFile(*bundleName, registerDirectory).getProductPath();
  if (registered && !registered->empty() && fs::exists(*registered)) return *registered;
  return atDestination;
}

InstallTarget resolveInstallTarget(const std::string& pathToInstallPackage,
                                   const std::string& pathToInstallDestination,
                                   const std::string& registerDirectory) {
  InstallTarget target{pathToInstallPackage, pathToInstallDestination, os::PlistValue(),
                       std::nullopt};
  if (pathToInstallPackage.empty() || !fs::exists(pathToInstallPackage)) return target;
  std::optional<os::PlistValue> settings = readSettings(pathToInstallPackage);
  if (!settings) return target;
  target.properties = std::move(*settings);

  const std::optional<std::string> bundle =
      productBundlePath(target.properties, pathToInstallDestination, registerDirectory);
  if (!bundle) return target;
  target.productBundle = bundle;
  // Everything after this works on the directory that holds the product, which the registry
  // may have moved away from argument 2.
  const os::PlistValue* multiInstance = target.properties.find(KEY_ALLOW_MULTI_INSTANCE);
  if (multiInstance == nullptr || !InstallUtil::readsAsTrue(*multiInstance)) {
    target.pathToInstallDestination = os::deletingLastComponent(*bundle);
  }
  target.properties.set(KEY_RCP_HOME, rcpHomeOf(*bundle, target.properties));
  return target;
}

int runPatchApply(const std::vector<std::string>& arguments, const PatchApplyLocations& locations) {
  // Started by hand with too little to go on: nothing is touched, not even the error channel
  // that a result pane may still be showing.
  if (arguments.size() < 3) {
    std::fputs(PATCH_APPLY_USAGE, stderr);
    return 1;
  }

  const int trace = InstallUtil::openTraceOutput(locations.traceLogPath);
  os::SystemLog::log(kInfo, "Begin to install hotfix");
  InstallUtil::initInternalPasteboard(true, locations.hotfix.errorStoreDirectory);

  const bool installed = carryOutInstall(
      decideInstall(arguments[1], arguments[2], locations.registerDirectory), locations);

  InstallUtil::closeTraceOutput(trace);
  return installed ? 0 : 1;
}

int PatchApplyMain(int argc, char** argv) {
  return runPatchApply(std::vector<std::string>(argv, argv + argc));
}

}  // namespace rcpinstall
