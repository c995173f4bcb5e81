// The removal tool patchremove: locating the platform, the guarded removal, status messages.
#include "remove/patch_remove_tool.h"

#include <cstdio>
#include <exception>

#include "foundation/program_info.h"
#include "foundation/register_file.h"
#include "instance/instance_service.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"
#include "os/user_identity.h"
#include "remove/patch_remove.h"
#include "remove/patchremove.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::SystemLog::kInfo;

namespace {

constexpr const char* PERMISSION_DENIED =
    "Failed to uninstall this package. Permission denied. To retry the work, please make sure "
    "you belong to admin group and execute this command as root.\nUsage: sudo ./patchremove\n";
constexpr const char* USAGE_LINE = "Usage: patchremove -rcphome <absolute pathToRcphome>\n";
constexpr const char* PLATFORM_HOME_UNKNOWN = "RCP home of Orrery cannot be determined! \n";

}  // namespace

std::int16_t uninstallHotfix(const std::optional<std::string>& platformHome, bool orreryHotfix,
                             StepProgress* progress) {
  os::SystemLog::log(kInfo, "RCP Home : %s .", platformHome ? platformHome->c_str() : "(null)");
  if (!platformHome || !fs::exists(*platformHome)) return kPlatformNotFound;

  const std::string rcpHome = os::appendComponent(*platformHome, RCP_DIRECTORY);
  os::SystemLog::log(kInfo, "Checking unsupported characters.");
  if (InstallUtil::containUnSupportedCharacters(rcpHome)) return kLocationUnsupported;

  os::SystemLog::log(kInfo, "Checking target platform. ");
  // The product tree is opened once, before the checks look at it, and reached only through
  // these roots from then on; a product that cannot be held is not worked on.
  const std::optional<std::string> bundle = InstallUtil::getBundlePath(rcpHome);
  if (!InstanceService::rcpHomeExists(rcpHome)) return kPlatformNotFound;
  const std::shared_ptr<const os::Roots> roots = InstanceService::openProductRoots(bundle, rcpHome);
  if (!roots || !InstanceService(roots, rcpHome).hasInstanceInstalled()) return kPlatformNotFound;

  os::SystemLog::log(kInfo, "Checking whether platform is running.");
  if (!bundle) return kBundleNotFound;
  if (InstallUtil::checkBundleIsRunning(*bundle)) return kPlatformRunning;

  os::SystemLog::log(kInfo, "Removing hotfix.");
  const char* manifest =
      orreryHotfix ? PatchRemove::ORRERY_UNINSTALL_MANIFEST : PatchRemove::UNINSTALL_MANIFEST;
  InstanceService instance(roots, rcpHome);
  // The removal deletes its removal manifest last, just before its mark: a removal cut off
  // between the two had made every change, and is done.
  if (instance.changeInProgress() == InstanceService::REMOVAL_OPERATION &&
      instance.changeInProgress("manifest") == manifest &&
      !fs::entryExists(instance.at(os::appendComponent(
          os::appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY), manifest)))) {
    os::SystemLog::log(kInfo, "The removal cut off after its last change is complete.");
    return instance.clearChangeInProgress() ? kRemovalSucceeded : kRemovalFailed;
  }
  if (!instance.markChangeInProgress(InstanceService::REMOVAL_OPERATION, manifest)) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not able to mark the removal in progress in %s",
                       rcpHome.c_str());
  }
  PatchRemove removal(roots, rcpHome);
  removal.showProgress(progress);
  const bool removed =
      orreryHotfix ? removal.uninstallOldOrreryHotfix() : removal.uninstallOldHotfix();
  instance.clearChangeInProgress();
  return removed ? kRemovalSucceeded : kRemovalFailed;
}

std::optional<std::string> statusMessage(int status) {
  const char* text = nullptr;
  switch (status) {
    case kPlatformNotFound:
      text = "Error:%d: Fail to locate target platform. \n";
      break;
    case kLocationUnsupported:
      text = "Error:%d: The specified location contains unsupported characters. \n";
      break;
    case kPlatformRunning:
      text = "Error:%d: Platform is running. \n";
      break;
    case kRemovalFailed:
      text = "Error:%d: Unstall provisioning fails.\n";
      break;
    default:
      return std::nullopt;
  }
  char line[128];
  std::snprintf(line, sizeof line, text, status);
  return std::string(line);
}

std::optional<std::string> findRcpHomeOption(const std::vector<std::string>& arguments) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == RCP_HOME_OPTION) return arguments[i + 1];
  }
  return std::nullopt;
}

bool isRemovalCommandLine(const std::vector<std::string>& arguments) {
  return arguments.size() <= 1 || (arguments.size() == 3 && arguments[1] == RCP_HOME_OPTION);
}

std::optional<std::string> locatePlatformHome(const std::vector<std::string>& arguments,
                                              const PatchRemoveLocations& locations) {
  if (std::optional<std::string> given = findRcpHomeOption(arguments)) return given;

  const RegisterFile registry(PRODUCT_NAME, locations.registerDirectory);
  const std::optional<std::string> rcpHome = registry.getPathToRcpHome();
  if (rcpHome) {
    std::string oldInstallLocation = os::deletingLastComponent(*rcpHome);
    if (fs::exists(oldInstallLocation)) return oldInstallLocation;
  }
  if (fs::exists(locations.defaultPlatformHome)) return locations.defaultPlatformHome;
  return std::nullopt;
}

int runPatchRemove(const std::vector<std::string>& arguments, bool runningAsRoot,
                   const PatchRemoveLocations& locations) {
  // A slip on the command line (a misspelled option, a forgotten -rcphome, a value left
  // off) must never fall back to the registry's product: that would remove the hotfix of
  // another product and report success. Nothing is looked at before this.
  if (!isRemovalCommandLine(arguments)) {
    printForUser(USAGE_LINE);
    return 1;
  }
  // A refused run is a failure to whoever called the tool, not a success.
  if (!runningAsRoot) {
    printForUser(PERMISSION_DENIED);
    return 1;
  }
  const int trace = InstallUtil::openTraceOutput(locations.traceLogPath);

  int status = 1;
  if (const std::optional<std::string> platformHome = locatePlatformHome(arguments, locations)) {
    // The exported function's removal, with progress for a person at a terminal.
    std::optional<StepProgress> progress;
    if (StepProgress::wanted()) progress.emplace("patchremove");
    status = guardedUninstallHotfix(platformHome->c_str(), false, progress ? &*progress : nullptr);
    if (const std::optional<std::string> message = statusMessage(status)) printForUser(*message);
  } else {
    printForUser(std::string(PLATFORM_HOME_UNKNOWN) + USAGE_LINE);
  }

  InstallUtil::closeTraceOutput(trace);
  return status;
}

namespace {

constexpr const char* PATCH_REMOVE_HELP =
    R"(usage: patchremove [-rcphome <platform home>]
       patchremove --help | --version

Removes the installed hotfix from the product's platform. Run it as root. The platform
home is the directory that holds the platform directory rcp, for an application bundle
its Contents/MacOS directory. Without arguments the product registry of Orrery names it,
else /Applications/Orrery.app/Contents/MacOS is used when it exists. A removal that was
cut off (killed, or the machine lost power) is finished by running patchremove again.

  -rcphome <platform home>  the platform home, used as given

Any other command line (another option, a path without -rcphome, -rcphome without a
value, more arguments) prints "Usage: patchremove -rcphome <absolute pathToRcphome>"
and exits with status 1 before anything is looked at or changed.

Exit status:
  0    the hotfix was removed
  1    not run as root (after the permission message), a command line other than the
       two above (after the usage line), or the platform home or the platform's
       application bundle cannot be determined
  150  no installed platform at the platform home (no rcp/deploy/install.xml)
  155  the rcp home's path holds a character the platform does not support
  170  the product is running; quit it and run again
  190  the removal failed (for example no rcp/deploy/uninstall.hotfix.xml)

Trace log: /tmp/install_trace.log, written while the invoking user's preference
com.zantec.rcp.install.mac.traceEnable (domain com.zantec.rcp.install.mac) is true.

Manual: man 8 patchremove, man 3 libpatchremove; guides in share/doc/orrery-hotfix.
)";

}  // namespace

int PatchRemoveMain(int argc, char** argv) {
  if (const std::optional<int> status =
          answerHelpOrVersion(argc, argv, "patchremove", PATCH_REMOVE_HELP)) {
    return *status;
  }
  // A failure nobody foresaw ends as a failed removal, never as an abort.
  try {
    return runPatchRemove(std::vector<std::string>(argv, argv + argc), os::isRunningAsRoot());
  } catch (const std::exception& error) {
    os::SystemLog::log(os::SystemLog::kError, "The removal stopped: %s", error.what());
  } catch (...) {
    os::SystemLog::log(os::SystemLog::kError, "The removal stopped.");
  }
  return kRemovalFailed;
}

}  // namespace rcpinstall
