// hotfixcheck plan: what patchapply would decide and do, from the decision it acts on.
#include "apply/hotfix.h"
#include "foundation/install_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/workflow_step.h"
#include "os/file_system.h"
#include "remove/patch_remove.h"

namespace rcpinstall::HotfixCheck {

namespace {

// The changes of the workflow's own steps, and the launcher runs of those that happen when
// every provisioning run succeeds (a removal without a manifest makes none).
void addSteps(const std::vector<Step>& steps, Plan& result) {
  bool staged = true;
  for (const Step& step : steps) {
    for (const StepChange& change : step.changes) {
      if (step.kind == StepKind::kStageRemovalManifest && change.action == "none") staged = false;
      result.steps.push_back({change.action, change.path, change.source, change.note,
                              describe(step.kind), describe(step.when), change.pathOnOutcome});
    }
    if (step.when == StepCondition::kIfRemovalManifestStaged && !staged) continue;
    if (step.when == StepCondition::kIfRemovalSucceeded && !staged) continue;
    for (const std::vector<std::string>& run : step.launcherRuns) {
      result.launcherRuns.push_back(run);
      result.launcherRunConditions.push_back(describe(step.when));
      if (!run.empty() && !os::FileSystem::exists(run.front())) result.launcherMissing = true;
    }
  }
}

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
  if (decision.removesInstalledHotfix) addSteps(PatchRemove(decision.rcpHome).steps(), result);

  const Hotfix hotfix(decision.target.pathToInstallPackage,
                      decision.target.pathToInstallDestination, decision.rcpHome);
  if (!hotfix.pathToInstallPackage() || !hotfix.preference()) {
    // The workflow stops before it does anything, without a code of its own.
    result.exitStatus = 1;
    return result;
  }
  if (const std::optional<std::vector<std::string>> missing = hotfix.missingInstallManifest()) {
    result.code = kInstallFileNotFound;
    result.details = *missing;
    result.exitStatus = 1;
    return result;
  }
  const std::optional<std::string> manifest =
      settingsString(*hotfix.preference(), KEY_HOTFIX_MANIFEST);
  // A manifest that is there and cannot be read stops the staging just the same.
  if (unreadableForInstall(manifest.value_or(""))) {
    result.code = kInstallFileNotFound;
    result.details = {HOTFIX_MANIFEST_NAME};
    result.exitStatus = 1;
    return result;
  }
  addSteps(hotfix.steps(decision.removesInstalledHotfix), result);
  // A removal manifest that cannot be read: the install's copy of it fails with no more than
  // a warning in the log.
  for (PlannedStep& step : result.steps) {
    if (step.step != describe(StepKind::kCopyRemovalManifest) || !step.source) continue;
    if (const std::optional<std::string> unreadable = unreadableForInstall(*step.source)) {
      step = {"none",
              *step.source,
              std::nullopt,
              "cannot be read (" + *unreadable +
                  "): the install skips it without a word and the hotfix cannot be removed later",
              step.step,
              step.when,
              {}};
    }
  }
  noteLinksOutOfPackage(package, result.steps);
  return result;
}

}  // namespace rcpinstall::HotfixCheck
