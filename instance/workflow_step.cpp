// Names of the workflow steps and their conditions, as hotfixcheck plan prints them.
#include "instance/workflow_step.h"

namespace rcpinstall {

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
