// The install and removal workflows as data: typed steps, the runner that carries a list of
// them out, and the performer it hands each step to. patchapply, patchremove and the exported
// functions pass a performer that acts; hotfixcheck plan one that records what would happen.
#pragma once

#include <chrono>
#include <optional>
#include <string>
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

// What a step does to one file or directory.
enum class ChangeAction {
  kStage,    // copy a manifest into deploy/ as the launcher's request
  kCopy,     // copy from the package, never overwriting
  kBackUp,   // copy under a new name
  kRewrite,  // rewrite in place, keeping the rest
  kMerge,    // merge the source's entries over the file's
  kReplace,  // put the source in place of what is there
  kDelete,
  kRun,     // start the launcher
  kWrite,   // write afresh
  kRepair,  // give owner, group and mode
  kNone,    // nothing: the step has nothing to work on
};

// Why a change is made or what it makes, for the plan's notes; the text is made where it is
// printed. `value` carries what the note names (a path, a version).
enum class ChangeNote {
  kNone,
  kInstallerRootBecomesPackage,  // value: the package
  kNoRemovalManifestForLater,
  kNamedAfterRemovalVersion,
  kNewManifestVersion,
  kKeystore,
  kInstallBackups,
  kMergedIntoWhatIsThere,
  kBeforeLauncherRun,
  kBeforeLauncherRuns,
  kInstallRun,
  kHotfixVersion,  // value: the version
  kRepairStandard,
  kRepairStandardIfDirectory,
  kWhenThere,
  kHandOffKeys,
  kRemovalOfInstalledHotfix,
  kNoRemovalManifestEnds,
  kRemovalRuns,
  kHotfixVersionRemoved,
  kCleanupRun,
  kCleanupResult,
};

// An outcome of an earlier step that a later step may wait on.
enum class StepOutcome { kRemovalManifestStaged, kRemovalSucceeded, kProvisioningSucceeded };

// A path that only an outcome decides: the path when the outcome is `happened`.
struct PathOnOutcome {
  StepOutcome outcome;
  bool happened;
  std::string path;
};

// One file or directory a step changes.
struct StepChange {
  ChangeAction action;
  std::string path;
  std::optional<std::string> source;
  ChangeNote note = ChangeNote::kNone;
  std::string value;
  // Where an earlier outcome decides the path, `path` names it with a placeholder.
  std::vector<PathOnOutcome> pathOnOutcome;
};

// The launcher's operations, and one run of it: the program, then its arguments.
enum class LauncherOperation { kInstall, kRemoval, kCleanup };
struct LauncherRun {
  std::vector<std::string> command;
  StepCondition when = StepCondition::kAlways;
};

// The arguments (after the program) of a launcher run. The install's run names the update
// site the features come from; the locale is the user's.
std::vector<std::string> launcherArguments(LauncherOperation operation, const std::string& locale,
                                           const std::string& updateSite = {});

struct Step {
  StepKind kind;
  StepCondition when = StepCondition::kAlways;
  std::vector<StepChange> changes;
  // The launcher runs the step makes, in order.
  std::vector<std::vector<std::string>> launcherRuns;
};

// The outcomes so far of one run of the steps.
struct WorkflowOutcomes {
  bool removalManifestStaged = false;
  bool removalSucceeded = false;
  bool provisioningSucceeded = false;
};

// Whether a step with this condition happens after these outcomes.
bool holds(StepCondition condition, const WorkflowOutcomes& outcomes);
// The outcome a step of this kind decides, if any.
std::optional<StepOutcome> outcomeDecidedBy(StepKind kind);

// What became of one step.
enum class StepResult {
  kDone,    // it went well
  kFailed,  // it failed; the steps after it go on, those waiting on it are skipped
  kEnded,   // it failed and the workflow ends here
};

class StepPerformer {
 public:
  virtual ~StepPerformer() = default;
  virtual StepResult perform(const Step& step) = 0;
  // A step whose condition does not hold after the outcomes so far.
  virtual void skip(const Step& step) { (void)step; }
};

// Progress lines for a person at a terminal, on standard error: each step as it starts, with
// the time since the run began and the numbers of the launcher runs it makes. One object
// serves a whole run, the removal before an install included, so that the runs count on.
class StepProgress {
 public:
  // `program` starts each line ("patchapply").
  explicit StepProgress(std::string program);
  // A line is printed only when standard error is a terminal.
  static bool wanted();
  void starts(const Step& step);

 private:
  std::string _program;
  std::chrono::steady_clock::time_point _start;
  size_t _launcherRuns = 0;
};

// Carries the steps out in order through the performer: a step whose condition does not hold
// is skipped; a step's result decides the outcome its kind stands for; a step that ends the
// workflow stops the walk. Outcomes add to what `outcomes` held before (the install after a
// removal). True when no step failed or ended the workflow. With `progress`, each step that
// happens is announced as it starts.
bool runSteps(const std::vector<Step>& steps, StepPerformer& performer, WorkflowOutcomes& outcomes,
              StepProgress* progress = nullptr);

// The step's name ("run the install") and its condition in words ("always", "when the
// removal's provisioning succeeds"), as the plan and the progress lines print them.
const char* describe(StepKind kind);
const char* describe(StepCondition condition);
// The condition as a word for machines: "always", "removalManifestStaged", ...
const char* conditionName(StepCondition condition);

}  // namespace rcpinstall
