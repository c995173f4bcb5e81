// The runner of the workflow steps, the launcher's command lines, and the names of steps and
// conditions.
#include "instance/workflow_step.h"

#include <cstdio>
#include <utility>

#include "os/standard_output.h"

namespace rcpinstall {

std::vector<std::string> launcherArguments(LauncherOperation operation, const std::string& locale,
                                           const std::string& updateSite) {
  switch (operation) {
    case LauncherOperation::kCleanup:
      return {"-provManifest", "-ignitorWait",           "-noSplash", "-product",
              "NULL",          "-provisioningOperation", "cleanup"};
    case LauncherOperation::kRemoval:
      return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
              "-nl",          locale,          "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
              "-Xmx256m"};
    case LauncherOperation::kInstall:
      // The removal's update run, with the operation repeated as a system property and the
      // update site the features are fetched from.
      return {"-ignitorWait",
              "-provManifest",
              "-noSplash",
              "-provisioningOperation",
              "update",
              "-nl",
              locale,
              "-vmargs",
              "-Dfile.encoding=UTF-8",
              "-DprovisioningOperation=update",
              "-DprovUpdateSiteListOverride=file:" + updateSite,
              "-Xms32m",
              "-Xmx256m"};
  }
  return {};
}

bool holds(StepCondition condition, const WorkflowOutcomes& outcomes) {
  switch (condition) {
    case StepCondition::kAlways:
      return true;
    case StepCondition::kIfRemovalManifestStaged:
      return outcomes.removalManifestStaged;
    case StepCondition::kIfRemovalSucceeded:
      return outcomes.removalSucceeded;
    case StepCondition::kIfProvisioningSucceeded:
      return outcomes.provisioningSucceeded;
  }
  return false;
}

std::optional<StepOutcome> outcomeDecidedBy(StepKind kind) {
  switch (kind) {
    case StepKind::kStageRemovalManifest:
      return StepOutcome::kRemovalManifestStaged;
    case StepKind::kRunRemoval:
      return StepOutcome::kRemovalSucceeded;
    case StepKind::kRunInstall:
      return StepOutcome::kProvisioningSucceeded;
    case StepKind::kBackUpBeforeRemoval:
    case StepKind::kWriteVersionBeforeRemoval:
    case StepKind::kClearHotfixRecord:
    case StepKind::kDeleteRemovalManifest:
    case StepKind::kRunCleanup:
    case StepKind::kReportRemoval:
    case StepKind::kRepairWorkspace:
    case StepKind::kStageInstallManifest:
    case StepKind::kCopyRemovalManifest:
    case StepKind::kBackUpInstallManifest:
    case StepKind::kWriteManifestVersion:
    case StepKind::kMergeCustomization:
    case StepKind::kReplaceKeystores:
    case StepKind::kCopyExtras:
    case StepKind::kRecordHotfixVersion:
    case StepKind::kRepair:
    case StepKind::kHandOff:
      return std::nullopt;
  }
  return std::nullopt;
}

StepProgress::StepProgress(std::string program)
    : _program(std::move(program)), _start(std::chrono::steady_clock::now()) {}

bool StepProgress::wanted() {
  return os::standardErrorIsTerminal();
}

void StepProgress::starts(const Step& step) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
  std::string runs;
  const size_t count = step.launcherRuns.size();
  if (count == 1) {
    runs = ", launcher run " + std::to_string(_launcherRuns + 1);
  } else if (count > 1) {
    runs = ", launcher runs " + std::to_string(_launcherRuns + 1) + " to " +
           std::to_string(_launcherRuns + count);
  }
  _launcherRuns += count;
  std::fprintf(stderr, "%s: %6.1fs %s%s\n", _program.c_str(), seconds, describe(step.kind),
               runs.c_str());
  std::fflush(stderr);
}

bool runSteps(const std::vector<Step>& steps, StepPerformer& performer, WorkflowOutcomes& outcomes,
              StepProgress* progress) {
  bool succeeded = true;
  for (const Step& step : steps) {
    if (!holds(step.when, outcomes)) {
      performer.skip(step);
      continue;
    }
    if (progress != nullptr) progress->starts(step);
    const StepResult result = performer.perform(step);
    if (const std::optional<StepOutcome> decided = outcomeDecidedBy(step.kind)) {
      const bool done = result == StepResult::kDone;
      switch (*decided) {
        case StepOutcome::kRemovalManifestStaged:
          outcomes.removalManifestStaged = done;
          break;
        case StepOutcome::kRemovalSucceeded:
          outcomes.removalSucceeded = done;
          break;
        case StepOutcome::kProvisioningSucceeded:
          outcomes.provisioningSucceeded = done;
          break;
      }
    }
    if (result == StepResult::kDone) continue;
    succeeded = false;
    if (result == StepResult::kEnded) break;
  }
  return succeeded;
}

const char* describe(StepCondition condition) {
  switch (condition) {
    case StepCondition::kAlways:
      return "always";
    case StepCondition::kIfRemovalManifestStaged:
      return "when the removal of the installed hotfix staged its manifest";
    case StepCondition::kIfRemovalSucceeded:
      return "when the removal's provisioning succeeds";
    case StepCondition::kIfProvisioningSucceeded:
      return "when the install's provisioning succeeds";
  }
  return "";
}

const char* conditionName(StepCondition condition) {
  switch (condition) {
    case StepCondition::kAlways:
      return "always";
    case StepCondition::kIfRemovalManifestStaged:
      return "removalManifestStaged";
    case StepCondition::kIfRemovalSucceeded:
      return "removalSucceeded";
    case StepCondition::kIfProvisioningSucceeded:
      return "provisioningSucceeded";
  }
  return "";
}

const char* describe(StepKind kind) {
  switch (kind) {
    case StepKind::kStageRemovalManifest:
      return "stage the removal manifest";
    case StepKind::kBackUpBeforeRemoval:
      return "back up install.xml before the removal";
    case StepKind::kWriteVersionBeforeRemoval:
      return "write a manifest version before the removal";
    case StepKind::kRunRemoval:
      return "run the removal";
    case StepKind::kClearHotfixRecord:
      return "clear the hotfix record";
    case StepKind::kDeleteRemovalManifest:
      return "delete the removal manifest";
    case StepKind::kRunCleanup:
      return "run the cleanup";
    case StepKind::kReportRemoval:
      return "report the removal";
    case StepKind::kRepairWorkspace:
      return "repair the workspace";
    case StepKind::kStageInstallManifest:
      return "stage the install manifest";
    case StepKind::kCopyRemovalManifest:
      return "copy the removal manifest";
    case StepKind::kBackUpInstallManifest:
      return "back up install.xml";
    case StepKind::kWriteManifestVersion:
      return "write a manifest version";
    case StepKind::kMergeCustomization:
      return "merge the plug-in customization";
    case StepKind::kReplaceKeystores:
      return "replace the keystores";
    case StepKind::kCopyExtras:
      return "copy the extras";
    case StepKind::kRunInstall:
      return "run the install";
    case StepKind::kRecordHotfixVersion:
      return "record the hotfix version";
    case StepKind::kRepair:
      return "repair owners and modes";
    case StepKind::kHandOff:
      return "hand off to the result pane";
  }
  return "";
}

}  // namespace rcpinstall
