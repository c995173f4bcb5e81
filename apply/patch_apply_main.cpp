// The entry routine of patchapply: trace log, error channel, settings and product location.
#include <cstdio>

#include "apply/patch_apply.h"
#include "foundation/program_info.h"
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

namespace {

// A relative argument taken against the working directory, without resolving links. The
// staged manifest, the launcher's update site, the hand-off file and the messages carry these
// paths, and none of their readers shares this process's working directory. An empty
// argument stays empty (it names nothing); without a working directory the path stays as
// given, and then names nothing either.
std::string absoluteArgument(const std::string& path) {
  if (path.empty()) return path;
  return os::absolutePath(path).value_or(path);
}

}  // namespace

InstallTarget resolveInstallTarget(const std::string& pathToInstallPackage,
                                   const std::string& pathToInstallDestination,
                                   const std::string& registerDirectory) {
  InstallTarget target{absoluteArgument(pathToInstallPackage),
                       absoluteArgument(pathToInstallDestination), os::PlistValue(), std::nullopt};
  // Everything below works on the absolute paths only.
  const std::string& package = target.pathToInstallPackage;
  if (package.empty() || !fs::exists(package)) return target;
  std::optional<os::PlistValue> settings = readSettings(package);
  if (!settings) return target;
  target.properties = std::move(*settings);
  // The rcp home is only ever the one computed from the located bundle: an entry of that
  // name in the settings file would otherwise stand for a product nobody located.
  target.properties.erase(KEY_RCP_HOME);

  const std::optional<std::string> bundle =
      productBundlePath(target.properties, target.pathToInstallDestination, registerDirectory);
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

namespace {

constexpr const char* PATCH_APPLY_HELP =
    R"(usage: patchapply <package path> <install destination>
       patchapply --help | --version

Applies the hotfix in the install package <package path> (its settings file is
Contents/Resources/hotfix.plist) to the product installed under <install destination>.
The hotfix package's install script starts it, normally as root; it is no command to
run by hand.

Exit status:
  0  the hotfix was installed
  1  anything else; the error code on the error channel (named store
     INSTALLATION_INTERNAL_PASTEBOARD) says why, and the result pane shows it:
     3 unsupported character in a path, 4 install manifest missing, 6 product running,
     7 a higher hotfix is installed, 8 no installed platform, 9 the install could not
     be completed or recorded (the path that could not be written). A failed install also
     leaves the empty marker file /tmp/Orrery.hotfix.error.

Trace log: /tmp/install_trace.log, written while the invoking user's preference
com.zantec.rcp.install.mac.traceEnable (domain com.zantec.rcp.install.mac) is true.

Manual: man 8 patchapply, man 7 outcomepane; guides in share/doc/orrery-hotfix.
)";

}  // namespace

int PatchApplyMain(int argc, char** argv) {
  if (const std::optional<int> status =
          answerHelpOrVersion(argc, argv, "patchapply", PATCH_APPLY_HELP)) {
    return *status;
  }
  return runPatchApply(std::vector<std::string>(argv, argv + argc));
}

}  // namespace rcpinstall
