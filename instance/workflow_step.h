// One step of the install or the removal workflow: what it changes and when it happens.
// patchapply and patchremove carry the steps out in order (Hotfix::perform,
// PatchRemove::perform); hotfixcheck plan prints the very same steps without carrying them out.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rcpinstall {

enum class StepKind {
  // The removal of an installed hotfix.
  kStageRemovalManifest,
  kBackUpBeforeRemoval,
  kWriteVersionBeforeRemoval,
  kRunRemoval,
  kClearHotfixRecord,
  kDeleteRemovalManifest,
  kRunCleanup,
  kReportRemoval,
  kRepairWorkspace,
  // The install.
  kStageInstallManifest,
  kCopyRemovalManifest,
  kBackUpInstallManifest,
  kWriteManifestVersion,
  kMergeCustomization,
  kReplaceKeystores,
  kCopyExtras,
  kRunInstall,
  kRecordHotfixVersion,
  kRepair,
  kHandOff,
};

// When a step happens: always, or only once an earlier step went well.
enum class StepCondition {
  kAlways,
  kIfRemovalManifestStaged,  // the removal staged the manifest it runs on
  kIfRemovalSucceeded,       // the removal's provisioning runs reported success
  kIfProvisioningSucceeded,  // the install's provisioning run reported success
};

// One file or directory a step changes, or a launcher run it makes.
struct StepChange {
  std::string
      action;  // stage, copy, back up, rewrite, merge, delete, replace, run, write, repair, none
  std::string path;
  std::optional<std::string> source;
  std::string note;
  // A path that only the outcome of an earlier step decides: the path on each outcome (the
  // outcome in words, the path). `path` then names it with a placeholder.
  std::vector<std::pair<std::string, std::string>> pathOnOutcome;
};

struct Step {
  StepKind kind;
  StepCondition when = StepCondition::kAlways;
  std::vector<StepChange> changes;
  // The launcher runs the step makes: the program, then its arguments.
  std::vector<std::vector<std::string>> launcherRuns;
};

// The condition in words, as plan prints it ("always", "when the removal's provisioning
// succeeds", ...), and the step's name ("run the install").
const char* describe(StepCondition condition);
const char* describe(StepKind kind);

}  // namespace rcpinstall
