// PatchRemove: staging the removal manifest, the launcher runs and the removal itself.
#include "remove/patch_remove.h"

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::appendComponent;
using os::SystemLog::kError;
using os::SystemLog::kInfo;
using os::SystemLog::kWarning;

void printForUser(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

namespace {

constexpr const char* UNEXPECTED_RESULTS =
    "Unexpected results have occurred during the provisioning operation.For additional "
    "information, please refer to the logs.";
constexpr const char* REMOVAL_SUCCEEDED =
    "The provisioning operations have completed successfully.";

void printLine(const std::string& text) {
  printForUser(text + "\n");
}

void reportMissingManifest(const std::string& name) {
  const std::string message = "File " + name +
                              " not found. Provisioning process failed to launch or was "
                              "terminated before status could be determined.";
  os::SystemLog::log(kError, "%s", message.c_str());
  printLine(message);
}

// Runs the launcher once and waits for it. Its exit status is no outcome (the result file
// is); a launcher that cannot be started leaves no result file, so the run reads as failed.
void runLauncher(InstanceService& instance, const std::string& launcher,
                 const std::vector<std::string>& arguments) {
  if (instance.runLauncher(arguments) == -1) {
    os::SystemLog::log(kError, "Could not start the platform launcher %s.", launcher.c_str());
  }
}

}  // namespace

std::vector<std::string> PatchRemove::updateLauncherArguments(const std::string& locale) {
  return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
          "-nl",          locale,          "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
          "-Xmx256m"};
}

std::vector<std::string> PatchRemove::cleanupLauncherArguments() {
  return {"-provManifest", "-ignitorWait",           "-noSplash", "-product",
          "NULL",          "-provisioningOperation", "cleanup"};
}

PatchRemove::PatchRemove(const std::optional<std::string>& pathToRcpHome) {
  if (pathToRcpHome && InstanceService::rcpHomeExists(*pathToRcpHome)) {
    _pathToRcpHome = pathToRcpHome;
    _instance.emplace(pathToRcpHome);
  }
}

std::optional<std::string> PatchRemove::removalManifestPath(const char* manifestName) const {
  if (!_instance || !_instance->pathToRcphome()) return std::nullopt;
  return appendComponent(
      appendComponent(*_instance->pathToRcphome(), InstanceService::DEPLOY_DIRECTORY),
      manifestName);
}

bool PatchRemove::copyRemovalManifest(const char* manifestName) {
  const std::optional<std::string> manifest = removalManifestPath(manifestName);
  if (!manifest) return false;
  if (!fs::exists(*manifest)) {
    reportMissingManifest(*manifest);
    return false;
  }
  if (!_instance->copyUpdateManifest(*manifest, std::nullopt)) {
    reportMissingManifest(InstanceService::UPDATE_MANIFEST);
    return false;
  }
  return true;
}

bool PatchRemove::copyUninstallManifest() {
  return copyRemovalManifest(UNINSTALL_MANIFEST);
}

bool PatchRemove::copyOrreryUninstallManifest() {
  return copyRemovalManifest(ORRERY_UNINSTALL_MANIFEST);
}

bool PatchRemove::startProvisioning() {
  if (!_instance) return false;
  if (!_instance->removeProvisionRCFile()) {
    os::SystemLog::log(kError, "Cannot remove the result of an earlier provisioning run.");
    return false;
  }
  os::SystemLog::log(kInfo, "Launching platform to uninstall provisioned features...");
  // Only by an absolute path inside the platform: without one there is no launcher run.
  const std::optional<std::string> launcher = _instance->launcherPath();
  if (!launcher) return false;
  const std::vector<std::string> arguments =
      updateLauncherArguments(InstallUtil::getCurrentLocale());
  for (int run = 0; run < 2; ++run) runLauncher(*_instance, *launcher, arguments);
  return true;
}

void PatchRemove::cleanup() {
  if (!_instance) return;
  _instance->removeProvisionRCFile();
  os::SystemLog::log(kInfo, "Begin to start provisoning system to cleanup features");
  if (const std::optional<std::string> launcher = _instance->launcherPath()) {
    runLauncher(*_instance, *launcher, cleanupLauncherArguments());
  }
}

bool PatchRemove::removeHotfixReceipt() {
  return true;
}

bool PatchRemove::uninstallOldHotfix() {
  return uninstall(UNINSTALL_MANIFEST);
}

bool PatchRemove::uninstallOldOrreryHotfix() {
  return uninstall(ORRERY_UNINSTALL_MANIFEST);
}

std::vector<Step> PatchRemove::steps(const char* manifestName) const {
  if (!_instance || !_pathToRcpHome) return {};
  const std::string& rcpHome = *_pathToRcpHome;
  const std::string deploy = appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY);
  const std::string manifest = *removalManifestPath(manifestName);
  const std::string result =
      appendComponent(os::deletingLastComponent(rcpHome), InstanceService::PROVISIONING_RC);
  const std::string launcher =
      _instance->launcherPath().value_or(appendComponent(rcpHome, InstanceService::LAUNCHER));
  const auto withProgram = [&launcher](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), launcher);
    return arguments;
  };
  using C = StepCondition;
  std::vector<Step> steps;

  Step stage{StepKind::kStageRemovalManifest, C::kAlways, {}, {}};
  if (fs::exists(manifest)) {
    stage.changes.push_back({"stage",
                             appendComponent(deploy, InstanceService::UPDATE_MANIFEST),
                             manifest,
                             "removal of the installed hotfix",
                             {}});
  } else {
    stage.changes.push_back({"none",
                             manifest,
                             std::nullopt,
                             "no removal manifest: the removal ends here and starts no launcher",
                             {}});
  }
  steps.push_back(stage);

  Step backup{StepKind::kBackUpBeforeRemoval, C::kIfRemovalManifestStaged, {}, {}};
  const std::string installManifest = appendComponent(deploy, InstanceService::INSTALL_MANIFEST);
  if (const std::optional<std::string> path = _instance->installManifestBackupPath();
      path && fs::exists(installManifest) && !fs::entryExists(*path)) {
    backup.changes.push_back({"back up", *path, installManifest, {}, {}});
  }
  steps.push_back(backup);

  Step version{StepKind::kWriteVersionBeforeRemoval, C::kIfRemovalManifestStaged, {}, {}};
  const std::string properties = appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (fs::exists(properties)) {
    version.changes.push_back(
        {"rewrite", properties, std::nullopt, "provisioning.manifest.version: a new version", {}});
  }
  steps.push_back(version);

  const std::vector<std::string> update =
      withProgram(updateLauncherArguments(InstallUtil::getCurrentLocale()));
  steps.push_back({StepKind::kRunRemoval,
                   C::kIfRemovalManifestStaged,
                   {{"delete", result, std::nullopt, "before the launcher runs", {}},
                    {"run",
                     launcher,
                     std::nullopt,
                     "provisioning update with the removal manifest, twice",
                     {}}},
                   {update, update}});
  steps.push_back({StepKind::kClearHotfixRecord,
                   C::kIfRemovalSucceeded,
                   {{"rewrite",
                     appendComponent(rcpHome, InstanceService::INSTALL_INFO),
                     std::nullopt,
                     "hotfixVersion removed",
                     {}}},
                   {}});
  steps.push_back({StepKind::kRunCleanup,
                   C::kIfRemovalSucceeded,
                   {{"delete", result, std::nullopt, "before the launcher run", {}},
                    {"run", launcher, std::nullopt, "provisioning cleanup", {}}},
                   {withProgram(cleanupLauncherArguments())}});
  steps.push_back({StepKind::kReportRemoval,
                   C::kIfRemovalSucceeded,
                   {{"delete", result, std::nullopt, "the cleanup's result", {}}},
                   {}});
  steps.push_back(
      {StepKind::kRepairWorkspace,
       C::kIfRemovalSucceeded,
       {{"repair", "workspace (rcp.data)", std::nullopt, "owner, group admin, mode 0775", {}}},
       {}});
  // The removal manifest goes last: until then a rerun of the removal finishes what a run that
  // was cut off began.
  steps.push_back({StepKind::kDeleteRemovalManifest,
                   C::kIfRemovalSucceeded,
                   {{"delete", manifest, std::nullopt, {}, {}}},
                   {}});
  return steps;
}

bool PatchRemove::perform(const Step& step, const char* manifestName) {
  if (!_instance) return false;
  switch (step.kind) {
    case StepKind::kStageRemovalManifest:
      return copyRemovalManifest(manifestName);
    case StepKind::kBackUpBeforeRemoval:
      _instance->backupInstallManifest();
      return true;
    case StepKind::kWriteVersionBeforeRemoval:
      _instance->updateProvisionManifestVersion(InstallUtil::generateNewManifestVersion());
      return true;
    case StepKind::kRunRemoval:
      // A result that could not be read as success leaves the removal manifest and the hotfix
      // record in place: the hotfix may still be installed, and the removal can be run again.
      if (!startProvisioning() || _instance->getProvisioningResult() == -1) {
        os::SystemLog::log(kError, "%s", UNEXPECTED_RESULTS);
        printLine(UNEXPECTED_RESULTS);
        return false;
      }
      return true;
    case StepKind::kClearHotfixRecord:
      // A record still naming the removed hotfix is no success either: the removal manifest
      // stays so that the removal can be run again. A record that cannot be read names no
      // hotfix: it is left exactly as it is (nothing unread is overwritten) and the removal
      // goes on.
      if (const std::optional<std::string> unreadable = _instance->unreadableInstallInfo()) {
        os::SystemLog::log(kWarning,
                           "The record %s cannot be read; it holds no hotfix version to clear.",
                           unreadable->c_str());
      } else if (!_instance->updateHotfixVersion(std::nullopt)) {
        os::SystemLog::log(kError, "Not able to clear the hotfix version record.");
        os::SystemLog::log(kError, "%s", UNEXPECTED_RESULTS);
        printLine(UNEXPECTED_RESULTS);
        return false;
      }
      return true;
    case StepKind::kDeleteRemovalManifest:
      fs::removeItem(*removalManifestPath(manifestName));
      return true;
    case StepKind::kRunCleanup:
      cleanup();
      return true;
    case StepKind::kReportRemoval:
      _instance->removeProvisionRCFile();
      printLine(REMOVAL_SUCCEEDED);
      removeHotfixReceipt();
      return true;
    case StepKind::kRepairWorkspace:
      _instance->updatePermissions(false, true);
      return true;
    default:
      return true;  // a step of the install workflow
  }
}

bool PatchRemove::uninstall(const char* manifestName) {
  if (!_instance) return false;
  // Every step waits on the ones before it: a step that fails ends the removal.
  for (const Step& step : steps(manifestName)) {
    if (!perform(step, manifestName)) return false;
  }
  return true;
}

}  // namespace rcpinstall
