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

PatchRemove::PatchRemove(const std::optional<std::string>& pathToRcpHome)
    : PatchRemove(nullptr, pathToRcpHome) {}

PatchRemove::PatchRemove(std::shared_ptr<const os::Roots> roots,
                         const std::optional<std::string>& pathToRcpHome) {
  if (pathToRcpHome && InstanceService::rcpHomeExists(*pathToRcpHome)) {
    _pathToRcpHome = pathToRcpHome;
    _instance.emplace(std::move(roots), pathToRcpHome);
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
  return manifest && stageRemovalManifest(*manifest);
}

bool PatchRemove::stageRemovalManifest(const std::string& manifest) {
  if (!fs::exists(_instance->at(manifest))) {
    reportMissingManifest(manifest);
    return false;
  }
  if (!_instance->copyUpdateManifest(manifest, std::nullopt)) {
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

std::vector<std::string> PatchRemove::launcherCommand(LauncherOperation operation) const {
  std::vector<std::string> command = launcherArguments(operation, InstallUtil::getCurrentLocale());
  command.insert(command.begin(), _instance->launcherPath().value_or(
                                      appendComponent(*_pathToRcpHome, InstanceService::LAUNCHER)));
  return command;
}

bool PatchRemove::startProvisioning() {
  if (!_instance) return false;
  const std::vector<std::string> update = launcherCommand(LauncherOperation::kRemoval);
  return startProvisioning({update, update});
}

bool PatchRemove::startProvisioning(const std::vector<std::vector<std::string>>& runs) {
  if (!_instance->removeProvisionRCFile()) {
    os::SystemLog::log(kError, "Cannot remove the result of an earlier provisioning run.");
    return false;
  }
  os::SystemLog::log(kInfo, "Launching platform to uninstall provisioned features...");
  return runLauncherRuns(runs);
}

void PatchRemove::cleanup() {
  if (_instance) cleanup({launcherCommand(LauncherOperation::kCleanup)});
}

void PatchRemove::cleanup(const std::vector<std::vector<std::string>>& runs) {
  _instance->removeProvisionRCFile();
  os::SystemLog::log(kInfo, "Begin to start provisoning system to cleanup features");
  runLauncherRuns(runs);
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
  const std::string manifest = *removalManifestPath(manifestName);
  std::vector<Step> steps{stagingStep(manifest), backupStep(), manifestVersionStep()};
  for (Step& step : stepsAfterStaging(manifest)) steps.push_back(std::move(step));
  return steps;
}

std::string PatchRemove::deployPath(const char* name) const {
  return appendComponent(appendComponent(*_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY), name);
}

Step PatchRemove::stagingStep(const std::string& manifest) const {
  Step stage{StepKind::kStageRemovalManifest, StepCondition::kAlways, {}, {}};
  if (fs::exists(_instance->at(manifest))) {
    stage.changes.push_back({ChangeAction::kStage,
                             deployPath(InstanceService::UPDATE_MANIFEST),
                             manifest,
                             ChangeNote::kRemovalOfInstalledHotfix,
                             {},
                             {}});
  } else {
    stage.changes.push_back(
        {ChangeAction::kNone, manifest, std::nullopt, ChangeNote::kNoRemovalManifestEnds, {}, {}});
  }
  return stage;
}

Step PatchRemove::backupStep() const {
  Step backup{StepKind::kBackUpBeforeRemoval, StepCondition::kIfRemovalManifestStaged, {}, {}};
  const std::string installManifest = deployPath(InstanceService::INSTALL_MANIFEST);
  if (const std::optional<std::string> path = _instance->installManifestBackupPath();
      path && fs::exists(_instance->at(installManifest)) &&
      !fs::entryExists(_instance->at(*path))) {
    backup.changes.push_back(
        {ChangeAction::kBackUp, *path, installManifest, ChangeNote::kNone, {}, {}});
  }
  return backup;
}

Step PatchRemove::manifestVersionStep() const {
  Step version{
      StepKind::kWriteVersionBeforeRemoval, StepCondition::kIfRemovalManifestStaged, {}, {}};
  const std::string properties =
      appendComponent(*_pathToRcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (fs::exists(_instance->at(properties))) {
    version.changes.push_back({ChangeAction::kRewrite,
                               properties,
                               std::nullopt,
                               ChangeNote::kNewManifestVersion,
                               {},
                               {}});
  }
  return version;
}

// The launcher's runs and what follows them: whether they run depends on the outcomes of the
// steps before, what they change on no file's presence.
std::vector<Step> PatchRemove::stepsAfterStaging(const std::string& manifest) const {
  using C = StepCondition;
  using A = ChangeAction;
  using N = ChangeNote;
  const std::string& rcpHome = *_pathToRcpHome;
  const std::string result =
      appendComponent(os::deletingLastComponent(rcpHome), InstanceService::PROVISIONING_RC);
  const std::vector<std::string> update = launcherCommand(LauncherOperation::kRemoval);
  const std::string& launcher = update.front();
  std::vector<Step> steps;
  steps.push_back({StepKind::kRunRemoval,
                   C::kIfRemovalManifestStaged,
                   {{A::kDelete, result, std::nullopt, N::kBeforeLauncherRuns, {}, {}},
                    {A::kRun, launcher, std::nullopt, N::kRemovalRuns, {}, {}}},
                   {update, update}});
  steps.push_back({StepKind::kClearHotfixRecord,
                   C::kIfRemovalSucceeded,
                   {{A::kRewrite,
                     appendComponent(rcpHome, InstanceService::INSTALL_INFO),
                     std::nullopt,
                     N::kHotfixVersionRemoved,
                     {},
                     {}}},
                   {}});
  steps.push_back({StepKind::kRunCleanup,
                   C::kIfRemovalSucceeded,
                   {{A::kDelete, result, std::nullopt, N::kBeforeLauncherRun, {}, {}},
                    {A::kRun, launcher, std::nullopt, N::kCleanupRun, {}, {}}},
                   {launcherCommand(LauncherOperation::kCleanup)}});
  steps.push_back({StepKind::kReportRemoval,
                   C::kIfRemovalSucceeded,
                   {{A::kDelete, result, std::nullopt, N::kCleanupResult, {}, {}}},
                   {}});
  steps.push_back({StepKind::kRepairWorkspace,
                   C::kIfRemovalSucceeded,
                   {{A::kRepair, "workspace (rcp.data)", std::nullopt, N::kRepairStandard, {}, {}}},
                   {}});
  // The removal manifest goes last: until then a rerun of the removal finishes what a run that
  // was cut off began.
  steps.push_back({StepKind::kDeleteRemovalManifest,
                   C::kIfRemovalSucceeded,
                   {{A::kDelete, manifest, std::nullopt, N::kNone, {}, {}}},
                   {}});
  return steps;
}

StepResult PatchRemove::perform(const Step& step) {
  if (!_instance) return StepResult::kEnded;
  switch (step.kind) {
    case StepKind::kStageRemovalManifest: {
      const StepChange& change = step.changes.front();
      return stageRemovalManifest(change.source.value_or(change.path)) ? StepResult::kDone
                                                                       : StepResult::kEnded;
    }
    case StepKind::kBackUpBeforeRemoval:
      _instance->backupInstallManifest();
      return StepResult::kDone;
    case StepKind::kWriteVersionBeforeRemoval:
      _instance->updateProvisionManifestVersion(InstallUtil::generateNewManifestVersion());
      return StepResult::kDone;
    case StepKind::kRunRemoval:
      return runRemoval(step);
    case StepKind::kClearHotfixRecord:
      return clearHotfixRecord();
    case StepKind::kDeleteRemovalManifest:
      fs::removeItem(_instance->at(step.changes.front().path));
      return StepResult::kDone;
    case StepKind::kRunCleanup:
      cleanup(step.launcherRuns);
      return StepResult::kDone;
    case StepKind::kReportRemoval:
      reportRemoval();
      return StepResult::kDone;
    case StepKind::kRepairWorkspace:
      _instance->updatePermissions(false, true);
      return StepResult::kDone;
    case StepKind::kStageInstallManifest:
    case StepKind::kCopyRemovalManifest:
    case StepKind::kBackUpInstallManifest:
    case StepKind::kWriteManifestVersion:
    case StepKind::kMergeCustomization:
    case StepKind::kReplaceKeystores:
    case StepKind::kCopyExtras:
    case StepKind::kRunInstall:
    case StepKind::kRecordHotfixVersion:
    case StepKind::kRepair:
    case StepKind::kHandOff:
      // The install's steps are Hotfix's to carry out; one here is a wrong list.
      os::SystemLog::log(kError, "The removal cannot carry out the step \"%s\".",
                         describe(step.kind));
      return StepResult::kEnded;
  }
  return StepResult::kEnded;
}

StepResult PatchRemove::runRemoval(const Step& step) {
  // A result that could not be read as success leaves the removal manifest and the hotfix
  // record in place: the hotfix may still be installed, and the removal can be run again.
  if (!startProvisioning(step.launcherRuns) || _instance->getProvisioningResult() == -1) {
    os::SystemLog::log(kError, "%s", UNEXPECTED_RESULTS);
    printLine(UNEXPECTED_RESULTS);
    return StepResult::kEnded;
  }
  return StepResult::kDone;
}

void PatchRemove::reportRemoval() {
  _instance->removeProvisionRCFile();
  printLine(REMOVAL_SUCCEEDED);
  removeHotfixReceipt();
}

StepResult PatchRemove::clearHotfixRecord() {
  // A record still naming the removed hotfix is no success either: the removal manifest stays
  // so that the removal can be run again. A record that cannot be read names no hotfix: it is
  // left exactly as it is (nothing unread is overwritten) and the removal goes on.
  if (const std::optional<std::string> unreadable = _instance->unreadableInstallInfo()) {
    os::SystemLog::log(kWarning,
                       "The record %s cannot be read; it holds no hotfix version to clear.",
                       unreadable->c_str());
    return StepResult::kDone;
  }
  // What the removal's runs took out goes to the disk before the record stops naming the
  // hotfix: cut off after it, a record that names none vouches for a product without it.
  if (!_instance->makeProvisioningDurable() || !_instance->updateHotfixVersion(std::nullopt)) {
    os::SystemLog::log(kError, "Not able to clear the hotfix version record.");
    os::SystemLog::log(kError, "%s", UNEXPECTED_RESULTS);
    printLine(UNEXPECTED_RESULTS);
    return StepResult::kEnded;
  }
  return StepResult::kDone;
}

bool PatchRemove::runLauncherRuns(const std::vector<std::vector<std::string>>& runs) {
  const std::optional<std::string> launcher = _instance->launcherPath();
  // Only by an absolute path inside the platform: without one there is no launcher run.
  if (!launcher) return false;
  for (const std::vector<std::string>& run : runs) {
    runLauncher(*_instance, *launcher, {run.begin() + 1, run.end()});
  }
  return true;
}

bool PatchRemove::uninstall(const char* manifestName) {
  if (!_instance) return false;
  WorkflowOutcomes outcomes;
  return runSteps(steps(manifestName), *this, outcomes, _progress);
}

}  // namespace rcpinstall
