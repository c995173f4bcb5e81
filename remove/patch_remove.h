// PatchRemove: takes the installed hotfix off one platform instance through its provisioning
// system.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "instance/instance_service.h"
#include "instance/workflow_step.h"

namespace rcpinstall {

// One object serves one removal: create it for the rcp home, call uninstallOldHotfix or
// uninstallOldOrreryHotfix, drop it. The removal stages the hotfix's removal manifest as
// deploy/install.update.xml, runs the launcher's provisioning "update" twice, reads the
// outcome from .provisioning_rc and on success runs the "cleanup" operation. Messages for the
// person running the removal go to standard output, diagnostics to the system log.
//
// A failed removal keeps the removal manifest and the instance's hotfix record, so that the
// hotfix can still be removed once the cause is mended; both go only when the provisioning
// run reported success.
// Prints a message for the person running the removal, flushed at once so that it keeps its
// place among the lines of the caller and of the launcher runs.
void printForUser(const std::string& text);

class PatchRemove : public StepPerformer {
 public:
  // Removal manifests left in deploy by the install of a hotfix.
  static constexpr const char* UNINSTALL_MANIFEST = InstanceService::PATCH_REMOVE_MANIFEST;
  static constexpr const char* ORRERY_UNINSTALL_MANIFEST = "uninstall.orreryhotfix.xml";
  // The platform launcher inside the rcp home.
  static constexpr const char* LAUNCHER = InstanceService::LAUNCHER;

  // The rcp home and its instance are kept only when the path is given and exists now.
  explicit PatchRemove(const std::optional<std::string>& pathToRcpHome);
  // The same through the run's roots (InstanceService).
  PatchRemove(std::shared_ptr<const os::Roots> roots,
              const std::optional<std::string>& pathToRcpHome);

  // Stage deploy/uninstall.hotfix.xml (respectively uninstall.orreryhotfix.xml) as
  // deploy/install.update.xml. False, after the file-not-found message, when there is no
  // removal manifest or it could not be staged.
  bool copyUninstallManifest();
  bool copyOrreryUninstallManifest();

  // The two provisioning "update" runs of the launcher, one after the other. False, with no
  // run made, when the result of an earlier run could not be removed (it would be taken for
  // the outcome of these runs).
  bool startProvisioning();
  // The provisioning "cleanup" run of the launcher.
  void cleanup();

  // The whole removal of the plain hotfix (respectively the product hotfix). True when the
  // provisioning run reported success (rc 0 or 2).
  bool uninstallOldHotfix();
  bool uninstallOldOrreryHotfix();

  // Called once after a successful removal; there is no receipt to remove. Always true.
  bool removeHotfixReceipt();

  const std::optional<std::string>& pathToRcpHome() const { return _pathToRcpHome; }

  // The removal as steps, from the instance as it is now: each step after the staging waits
  // on it, and the steps after the launcher's update runs wait on their success. Empty
  // without an instance.
  std::vector<Step> steps(const char* manifestName = UNINSTALL_MANIFEST) const;
  // Carries out one step of steps(): the removal ends where the manifest could not be staged,
  // the provisioning failed or the record could not be cleared, with the removal's messages.
  StepResult perform(const Step& step) override;
  // Announces each step as it starts (none by default).
  void showProgress(StepProgress* progress) { _progress = progress; }

 private:
  bool copyRemovalManifest(const char* manifestName);
  bool stageRemovalManifest(const std::string& manifest);
  // The steps of steps(), in their order: what the first three change depends on the files
  // there now, what the later ones change only on the rcp home and the manifest.
  std::string deployPath(const char* name) const;
  Step stagingStep(const std::string& manifest) const;
  Step backupStep() const;
  Step manifestVersionStep() const;
  std::vector<Step> stepsAfterStaging(const std::string& manifest) const;
  // The bodies of perform's longer steps.
  StepResult runRemoval(const Step& step);
  void reportRemoval();
  StepResult clearHotfixRecord();
  // The launcher and the arguments of one of its runs.
  std::vector<std::string> launcherCommand(LauncherOperation operation) const;
  bool startProvisioning(const std::vector<std::vector<std::string>>& runs);
  void cleanup(const std::vector<std::vector<std::string>>& runs);
  bool runLauncherRuns(const std::vector<std::vector<std::string>>& runs);
  bool uninstall(const char* manifestName);
  std::optional<std::string> removalManifestPath(const char* manifestName) const;

  std::optional<InstanceService> _instance;
  std::optional<std::string> _pathToRcpHome;
  StepProgress* _progress = nullptr;
};

}  // namespace rcpinstall
