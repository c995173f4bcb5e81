// hotfixcheck plan: what patchapply would decide and do, from the decision it acts on and the
// very steps it carries out, handed by the same runner to a performer that records them.
#include <cerrno>

#include "apply/hotfix.h"
#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/workflow_step.h"
#include "os/file_system.h"
#include "os/user_identity.h"
#include "remove/patch_remove.h"

namespace rcpinstall::HotfixCheck {

namespace {

const char* describe(ChangeAction action) {
  switch (action) {
    case ChangeAction::kStage:
      return "stage";
    case ChangeAction::kCopy:
      return "copy";
    case ChangeAction::kBackUp:
      return "back up";
    case ChangeAction::kRewrite:
      return "rewrite";
    case ChangeAction::kMerge:
      return "merge";
    case ChangeAction::kReplace:
      return "replace";
    case ChangeAction::kDelete:
      return "delete";
    case ChangeAction::kRun:
      return "run";
    case ChangeAction::kWrite:
      return "write";
    case ChangeAction::kRepair:
      return "repair";
    case ChangeAction::kNone:
      return "none";
  }
  return "";
}

std::string describe(ChangeNote note, const std::string& value) {
  const std::string standard = std::string("owner, group ") + InstallUtil::STANDARD_GROUP +
                               ", mode 0" + std::to_string(InstallUtil::STANDARD_MODE >> 6) +
                               std::to_string((InstallUtil::STANDARD_MODE >> 3) & 7) +
                               std::to_string(InstallUtil::STANDARD_MODE & 7);
  switch (note) {
    case ChangeNote::kNone:
      return "";
    case ChangeNote::kInstallerRootBecomesPackage:
      return std::string(INSTALLER_ROOT_PLACEHOLDER) + " becomes file:" + value;
    case ChangeNote::kNoRemovalManifestForLater:
      return "no removal manifest: the hotfix cannot be removed later";
    case ChangeNote::kNamedAfterRemovalVersion:
      return "named after the version the removal writes";
    case ChangeNote::kNewManifestVersion:
      return "provisioning.manifest.version: a new version";
    case ChangeNote::kKeystore:
      return "keystore";
    case ChangeNote::kInstallBackups:
      return "what this, the keystore and the extras steps replace and add, in a new numbered "
             "directory; older ones beyond the last three go";
    case ChangeNote::kMergedIntoWhatIsThere:
      return "merged into what is there";
    case ChangeNote::kBeforeLauncherRun:
      return "before the launcher run";
    case ChangeNote::kBeforeLauncherRuns:
      return "before the launcher runs";
    case ChangeNote::kInstallRun:
      return "provisioning update with the install manifest";
    case ChangeNote::kHotfixVersion:
      return "hotfixVersion " + value;
    case ChangeNote::kRepairStandard:
      return standard;
    case ChangeNote::kRepairStandardIfDirectory:
      return standard + ", when it is a directory";
    case ChangeNote::kWhenThere:
      return "when it is there";
    case ChangeNote::kHandOffKeys:
      return std::string(P_RCPDATA) + " and " + KEY_PATH_TO_RCP_HOME;
    case ChangeNote::kRemovalOfInstalledHotfix:
      return "removal of the installed hotfix";
    case ChangeNote::kNoRemovalManifestEnds:
      return "no removal manifest: the removal ends here and starts no launcher";
    case ChangeNote::kRemovalRuns:
      return "provisioning update with the removal manifest, twice";
    case ChangeNote::kHotfixVersionRemoved:
      return "hotfixVersion removed";
    case ChangeNote::kCleanupRun:
      return "provisioning cleanup";
    case ChangeNote::kCleanupResult:
      return "the cleanup's result";
  }
  return "";
}

const char* describe(const PathOnOutcome& outcome) {
  switch (outcome.outcome) {
    case StepOutcome::kRemovalManifestStaged:
      return outcome.happened ? "the removal staged its manifest"
                              : "the removal did not stage its manifest";
    case StepOutcome::kRemovalSucceeded:
      return outcome.happened ? "the removal succeeded" : "the removal failed";
    case StepOutcome::kProvisioningSucceeded:
      return outcome.happened ? "the provisioning succeeded" : "the provisioning failed";
  }
  return "";
}

// A manifest that only this process may not read: patchapply runs as root and reads it.
bool onlyThisProcessCannotRead(const InstallDecision& decision,
                               const std::vector<std::string>& refusal) {
  if (refusal != std::vector<std::string>{HOTFIX_MANIFEST_NAME} || os::isRunningAsRoot()) {
    return false;
  }
  const Hotfix hotfix(decision.target.pathToInstallPackage,
                      decision.target.pathToInstallDestination, decision.rcpHome);
  if (!hotfix.preference()) return false;
  const os::LimitedRead read = os::readRegularFileAtMost(
      settingsString(*hotfix.preference(), KEY_HOTFIX_MANIFEST).value_or(""), MAX_FILE_SIZE);
  return !read.contents && (read.error == EACCES || read.error == EPERM);
}

// Records each step's changes, and the launcher runs of the steps that happen when every
// provisioning run succeeds. A step's own success is decided as the install decides it:
// the removal stages only a manifest that is there, the install only one it can read.
class Recorder : public StepPerformer {
 public:
  explicit Recorder(Plan& plan) : _plan(plan) {}

  StepResult perform(const Step& step) override {
    record(step);
    for (const std::vector<std::string>& run : step.launcherRuns) {
      _plan.launcherRuns.push_back({run, step.when});
      if (!run.empty() && !os::FileSystem::exists(run.front())) _plan.launcherMissing = true;
    }
    return outcome(step);
  }
  void skip(const Step& step) override { record(step); }

 private:
  void record(const Step& step) {
    for (const StepChange& change : step.changes) {
      std::vector<std::pair<std::string, std::string>> onOutcome;
      for (const PathOnOutcome& outcome : change.pathOnOutcome) {
        onOutcome.emplace_back(describe(outcome), outcome.path);
      }
      _plan.steps.push_back({describe(change.action), change.path, change.source,
                             describe(change.note, change.value), describe(step.kind),
                             describe(step.when), step.kind, step.when, onOutcome});
    }
  }

  StepResult outcome(const Step& step) {
    switch (step.kind) {
      case StepKind::kStageRemovalManifest:
        return !step.changes.empty() && step.changes.front().action == ChangeAction::kStage
                   ? StepResult::kDone
                   : StepResult::kFailed;
      case StepKind::kStageInstallManifest:
        // Decided before the removal already (installManifestRefusal), as patchapply does.
        return StepResult::kDone;
      case StepKind::kBackUpBeforeRemoval:
      case StepKind::kWriteVersionBeforeRemoval:
      case StepKind::kRunRemoval:
      case StepKind::kClearHotfixRecord:
      case StepKind::kDeleteRemovalManifest:
      case StepKind::kRunCleanup:
      case StepKind::kReportRemoval:
      case StepKind::kRepairWorkspace:
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
        return StepResult::kDone;
    }
    return StepResult::kDone;
  }

 private:
  Plan& _plan;
};

}  // namespace

Plan plan(const std::string& package, const std::string& destination,
          const std::string& registerDirectory) {
  Plan result;
  result.decision = decideInstall(package, destination, registerDirectory);
  const InstallDecision& decision = result.decision;
  result.code = decision.code;
  result.details = decision.details;
  if (!decision.goesAhead() || !decision.rcpHome) {
    result.exitStatus = 1;
    return result;
  }
  // patchapply refuses a manifest it cannot stage before it removes the installed hotfix.
  if (const std::optional<std::vector<std::string>> refusal = installManifestRefusal(decision);
      refusal && !onlyThisProcessCannotRead(decision, *refusal)) {
    result.code = kInstallFileNotFound;
    result.details = *refusal;
    result.exitStatus = 1;
    return result;
  }
  WorkflowOutcomes outcomes;
  if (decision.removesInstalledHotfix) {
    Recorder removal(result);
    runSteps(PatchRemove(decision.rcpHome).steps(), removal, outcomes);
  }

  const Hotfix hotfix(decision.target.pathToInstallPackage,
                      decision.target.pathToInstallDestination, decision.rcpHome);
  if (!hotfix.pathToInstallPackage() || !hotfix.preference()) {
    // The workflow stops before it does anything, without a code of its own.
    result.exitStatus = 1;
    return result;
  }
  Recorder install(result);
  if (!runSteps(hotfix.steps(decision.removesInstalledHotfix), install, outcomes) &&
      result.code != kNoError) {
    result.exitStatus = 1;
    return result;
  }
  // A removal manifest that cannot be read: the install's copy of it fails with no more than
  // a warning in the log.
  for (PlannedStep& step : result.steps) {
    if (step.kind != StepKind::kCopyRemovalManifest || !step.source) continue;
    if (const std::optional<std::string> unreadable = unreadableForInstall(*step.source)) {
      step = {"none",
              *step.source,
              std::nullopt,
              "cannot be read (" + *unreadable +
                  "): the install skips it without a word and the hotfix cannot be removed later",
              step.step,
              step.when,
              step.kind,
              step.condition,
              {}};
    }
  }
  noteLinksOutOfPackage(package, result.steps);
  return result;
}

}  // namespace rcpinstall::HotfixCheck
