// Hotfix: one hotfix installation into one installed platform, from staging to hand-off.
#include "apply/hotfix.h"

#include <utility>

#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/shared_files.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::appendComponent;
using os::SystemLog::kError;
using os::SystemLog::kInfo;
using os::SystemLog::kWarning;

namespace {

bool isAbsentOrEmpty(const os::PlistValue* value) {
  if (value == nullptr) return true;
  const std::string* text = value->asString();
  return text != nullptr && text->empty();
}

}  // namespace

std::string settingsFilePath(const std::string& package) {
  return appendComponent(
      appendComponent(appendComponent(package, PACKAGE_CONTENTS), PACKAGE_RESOURCES),
      SETTINGS_FILE);
}

std::optional<os::PlistValue> readSettings(const std::string& package) {
  std::optional<os::PlistValue> settings = os::readPlistFile(settingsFilePath(package));
  if (!settings || settings->asDictionary() == nullptr) return std::nullopt;
  return settings;
}

std::optional<std::string> settingsString(const os::PlistValue& settings, const char* key) {
  const os::PlistValue* value = settings.find(key);
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

std::string frameworkPathOf(const os::PlistValue& settings) {
  std::optional<std::string> frameworkPath = settingsString(settings, KEY_FRAMEWORK_PATH);
  if (!frameworkPath || frameworkPath->empty()) return DEFAULT_FRAMEWORK_PATH;
  return *frameworkPath;
}

std::string rcpHomeOf(const std::string& bundlePath, const os::PlistValue& settings) {
  return appendComponent(appendComponent(bundlePath, frameworkPathOf(settings)),
                         RCP_DIRECTORY_NAME);
}

Hotfix::Hotfix(const std::optional<std::string>& pathToInstallPackage,
               const std::optional<std::string>& pathToInstallLocation,
               const std::optional<std::string>& pathToRcpHome, HotfixLocations locations,
               std::shared_ptr<const os::Roots> roots)
    : _locations(std::move(locations)) {
  if (pathToInstallPackage && fs::exists(*pathToInstallPackage)) {
    _pathToInstallPackage = pathToInstallPackage;
    loadPreference();
  }
  _pathToInstallLocation = pathToInstallLocation;

  if (pathToRcpHome) {
    _pathToRcpHome = pathToRcpHome;
  } else if (_preference && _pathToInstallLocation) {
    if (const std::optional<std::string> bundleName = preferenceString(KEY_BUNDLE_NAME)) {
      _pathToRcpHome = rcpHomeOf(
          appendComponent(*_pathToInstallLocation, *bundleName + APP_EXTENSION), *_preference);
    }
  }
  if (_pathToRcpHome && fs::exists(*_pathToRcpHome))
    _service.emplace(std::move(roots), _pathToRcpHome);
}

void Hotfix::loadPreference() {
  _preference.reset();
  if (!_pathToInstallPackage) return;
  _preference = readSettings(*_pathToInstallPackage);
  if (!_preference) return;
  initializeDefaultValues();
  resolvePackageVariable(_pathToInstallPackage);
}

void Hotfix::initializeDefaultValues() {
  if (!_preference) return;
  os::PlistValue& settings = *_preference;
  auto setDefault = [&settings](const char* key, std::optional<std::string> value) {
    if (value && isAbsentOrEmpty(settings.find(key))) settings.set(key, *value);
  };

  setDefault(KEY_HOTFIX_MANIFEST, "${package}/../deploy/install.hotfix.xml");
  setDefault(KEY_PATCH_REMOVE_MANIFEST, "${package}/../deploy/uninstall.hotfix.xml");
  setDefault(KEY_PLUGIN_CUSTOMIZATION, "${package}/../deploy/plugin_customization.ini");
  setDefault(KEY_UPDATE_SITE_LIST, "${package}/../../updates/platform");

  // Keystores and extras sit beside the install manifest unless the settings say otherwise.
  std::optional<std::string> manifestDirectory;
  if (std::optional<std::string> manifest = settingsString(settings, KEY_HOTFIX_MANIFEST)) {
    manifestDirectory = os::deletingLastComponent(*manifest);
  }
  setDefault(KEY_KEYSTORE, manifestDirectory);
  setDefault(KEY_EXTRAS, appendComponent(manifestDirectory, InstanceService::EXTRAS_DIRECTORY));
}

void Hotfix::resolvePackageVariable(const std::optional<std::string>& package) {
  if (!_preference || _preference->asDictionary() == nullptr) return;
  InstallUtil::replacePackageVariableWith(package, *_preference->asDictionary());
}

std::optional<std::string> Hotfix::preferenceString(const char* key) const {
  if (!_preference) return std::nullopt;
  return settingsString(*_preference, key);
}

void Hotfix::sendError(int code, const std::vector<std::string>& details) const {
  InstallUtil::sendErrorMessage(makeErrorRecord(code, details), _locations.errorStoreDirectory,
                                {_pathToInstallLocation, _pathToRcpHome});
}

std::optional<std::vector<std::string>> Hotfix::missingInstallManifest() const {
  const std::optional<std::string> manifest = preferenceString(KEY_HOTFIX_MANIFEST);
  if (manifest && fs::exists(*manifest)) return std::nullopt;
  return std::vector<std::string>{manifest.value_or(HOTFIX_MANIFEST_NAME)};
}

std::optional<Refusal> Hotfix::installManifestRefusal() const {
  if (const std::optional<std::vector<std::string>> missing = missingInstallManifest()) {
    return Refusal{kInstallFileNotFound, *missing};
  }
  // One that cannot be read, or read as a manifest, stops the staging just the same.
  if (!InstallManifest(*preferenceString(KEY_HOTFIX_MANIFEST)).hasDocument()) {
    return Refusal{kInstallFileNotFound, {HOTFIX_MANIFEST_NAME}};
  }
  return std::nullopt;
}

bool Hotfix::copyHotfixInstallManifest() {
  if (const std::optional<Refusal> refusal = installManifestRefusal()) {
    sendError(refusal->code, refusal->details);
    return false;
  }
  const std::optional<std::string> manifest = preferenceString(KEY_HOTFIX_MANIFEST);
  // Without a platform (gone since the checks) there is nowhere to write the staged file.
  const InstanceService::Staging staging =
      _service ? _service->stageManifest(*manifest, std::string(InstanceService::UPDATE_MANIFEST),
                                         _pathToInstallPackage)
               : InstanceService::Staging::kNotWritten;
  switch (staging) {
    case InstanceService::Staging::kStaged:
      return true;
    case InstanceService::Staging::kSourceUnusable:
      sendError(kInstallFileNotFound, {HOTFIX_MANIFEST_NAME});
      return false;
    case InstanceService::Staging::kNotWritten:
      break;
  }
  // A manifest that is fine but cannot be written into the platform is no fault of the
  // package: the administrator is sent to the file that could not be written.
  const std::string staged =
      appendComponent(appendComponent(_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY),
                      InstanceService::UPDATE_MANIFEST)
          .value_or(InstanceService::UPDATE_MANIFEST);
  os::SystemLog::log(kError, "Not able to write %s", staged.c_str());
  sendError(kInstallNotCompleted, {staged});
  return false;
}

void Hotfix::copyPatchRemoveManifest() {
  const std::optional<std::string> manifest = preferenceString(KEY_PATCH_REMOVE_MANIFEST);
  if (!manifest || !fs::exists(*manifest)) return;
  if (!_service || !_service->copyPatchRemoveManifest(*manifest)) {
    os::SystemLog::log(kWarning, "Not able to copy hotfix uninstall manifest");
  }
}

void Hotfix::backupInstallManifest() {
  os::SystemLog::log(kInfo, "Begin to backup install manifest");
  if (_service) _service->backupInstallManifest();
}

void Hotfix::updateProvisionManifestVersion() {
  if (_service) _service->updateProvisionManifestVersion(InstallUtil::generateNewManifestVersion());
}

void Hotfix::mergePluginCustomization() {
  const std::optional<std::string> customization = preferenceString(KEY_PLUGIN_CUSTOMIZATION);
  if (!customization || !fs::exists(*customization) || !_service) return;
  _service->mergePluginCustomizationWithRcphome(*customization);
}

bool Hotfix::copyKeyStores() {
  os::SystemLog::log(kInfo, "Copying .keystore file.");
  return !_service || _service->copyKeyStores(preferenceString(KEY_KEYSTORE));
}

bool Hotfix::copyExtras() {
  return !_service || _service->copyExtras(preferenceString(KEY_EXTRAS));
}

std::vector<std::string> Hotfix::provisioningArguments() const {
  return launcherArguments(LauncherOperation::kInstall, InstallUtil::getCurrentLocale(),
                           preferenceString(KEY_UPDATE_SITE_LIST).value_or(""));
}

bool Hotfix::startProvisioning() {
  return startProvisioning(provisioningArguments());
}

bool Hotfix::startProvisioning(const std::vector<std::string>& arguments) {
  if (!_service || !_pathToRcpHome) return false;
  if (!_service->removeProvisionRCFile()) {
    os::SystemLog::log(kError, "Cannot remove the result of an earlier provisioning run.");
    sendError(kInstallNotCompleted, {appendComponent(os::deletingLastComponent(*_pathToRcpHome),
                                                     InstanceService::PROVISIONING_RC)});
    return false;
  }
  os::SystemLog::log(kInfo, "Begin to start provisoning sytem to install features");
  const std::optional<std::string> launcher = _service->launcherPath();
  if (!launcher) {
    os::SystemLog::log(kError, "No platform to start the launcher of.");
    return false;
  }
  // The exit status is no outcome; a launcher that cannot be started leaves no result file,
  // which reads as a failed run.
  if (_service->runLauncher(arguments) == -1) {
    os::SystemLog::log(kError, "Could not start the platform launcher %s.", launcher->c_str());
  }
  return true;
}

bool Hotfix::updateHotfixVersion() {
  os::SystemLog::log(kInfo, "Begin to update new hotfix version");
  const std::optional<std::string> version = preferenceString(KEY_PACKAGE_VERSION);
  if (!version || !_service) return true;
  if (_service->updateHotfixVersion(*version)) return true;
  os::SystemLog::log(kError, "Not able to record hotfix version %s", version->c_str());
  // Without this the channel would still hold code 0 and the pane would show success.
  sendError(kInstallNotCompleted,
            {appendComponent(*_pathToRcpHome, InstanceService::INSTALL_INFO)});
  return false;
}

void Hotfix::setupConfiguratioForResultPanel() {
  std::optional<std::string> rcpData;
  if (_pathToRcpHome) {
    const std::string launcherProperties =
        appendComponent(*_pathToRcpHome, InstanceService::IGNITOR_PROPERTIES);
    if (_service && fs::exists(_service->at(launcherProperties))) {
      rcpData = JavaProperties(_service->at(launcherProperties))
                    .getPropertyForKey(InstanceService::KEY_RCP_DATA);
    }
  }
  // The link itself, never what it points to; a directory at the name is no configuration
  // file and is left to whoever made it.
  os::removeSharedEntry(_locations.qelConfigFile);

  Configuration configuration(_locations.configurationFile);
  configuration.setProperty(rcpData ? std::optional<os::PlistValue>(*rcpData) : std::nullopt,
                            P_RCPDATA);
  configuration.setProperty(
      _pathToRcpHome ? std::optional<os::PlistValue>(*_pathToRcpHome) : std::nullopt,
      KEY_PATH_TO_RCP_HOME);
  if (!configuration.saveConfiguration()) {
    os::SystemLog::log(kWarning, "Not able to write %s", _locations.configurationFile.c_str());
  }
}

std::vector<Step> Hotfix::steps(bool afterRemoval) const {
  if (!_service || !_pathToRcpHome || !_preference) return {};
  std::vector<Step> steps;
  steps.push_back(stagingStep());
  steps.push_back(removalManifestStep());
  steps.push_back(backupStep(afterRemoval));
  steps.push_back(manifestVersionStep());
  steps.push_back(customizationStep());
  steps.push_back(keystoreStep());
  steps.push_back(extrasStep());
  steps.push_back(runStep());
  steps.push_back(recordStep());
  steps.push_back(repairStep());
  steps.push_back(handOffStep());
  return steps;
}

std::string Hotfix::deployPath(const char* name) const {
  return appendComponent(appendComponent(*_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY), name);
}

Step Hotfix::stagingStep() const {
  return {StepKind::kStageInstallManifest,
          StepCondition::kAlways,
          {{ChangeAction::kStage,
            deployPath(InstanceService::UPDATE_MANIFEST),
            preferenceString(KEY_HOTFIX_MANIFEST),
            ChangeNote::kInstallerRootBecomesPackage,
            _pathToInstallPackage.value_or(""),
            {}}},
          {}};
}

Step Hotfix::removalManifestStep() const {
  Step step{StepKind::kCopyRemovalManifest, StepCondition::kAlways, {}, {}};
  const std::optional<std::string> manifest = preferenceString(KEY_PATCH_REMOVE_MANIFEST);
  if (manifest && fs::exists(*manifest)) {
    step.changes.push_back({ChangeAction::kCopy,
                            deployPath(InstanceService::PATCH_REMOVE_MANIFEST),
                            manifest,
                            ChangeNote::kNone,
                            {},
                            {}});
  } else {
    step.changes.push_back({ChangeAction::kNone,
                            manifest.value_or(""),
                            std::nullopt,
                            ChangeNote::kNoRemovalManifestForLater,
                            {},
                            {}});
  }
  return step;
}

Step Hotfix::backupStep(bool afterRemoval) const {
  // The removal that comes first backs install.xml up under the current version and writes a
  // new one, but only once it staged its manifest.
  Step step{StepKind::kBackUpInstallManifest, StepCondition::kAlways, {}, {}};
  const std::string installManifest = deployPath(InstanceService::INSTALL_MANIFEST);
  const std::optional<std::string> backupPath = _service->installManifestBackupPath();
  if (!backupPath || !fs::exists(_service->at(installManifest))) return step;
  if (afterRemoval &&
      fs::exists(_service->at(deployPath(InstanceService::PATCH_REMOVE_MANIFEST)))) {
    const std::string next = deployPath("install.<new version>.xml");
    step.changes.push_back({ChangeAction::kBackUp,
                            next,
                            installManifest,
                            ChangeNote::kNamedAfterRemovalVersion,
                            {},
                            {{StepOutcome::kRemovalManifestStaged, true, next},
                             {StepOutcome::kRemovalManifestStaged, false, *backupPath}}});
  } else if (!fs::entryExists(_service->at(*backupPath))) {
    step.changes.push_back(
        {ChangeAction::kBackUp, *backupPath, installManifest, ChangeNote::kNone, {}, {}});
  }
  return step;
}

Step Hotfix::manifestVersionStep() const {
  Step step{StepKind::kWriteManifestVersion, StepCondition::kAlways, {}, {}};
  const std::string properties =
      appendComponent(*_pathToRcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (fs::exists(_service->at(properties))) {
    step.changes.push_back({ChangeAction::kRewrite,
                            properties,
                            std::nullopt,
                            ChangeNote::kNewManifestVersion,
                            {},
                            {}});
  }
  return step;
}

Step Hotfix::customizationStep() const {
  Step step{StepKind::kMergeCustomization, StepCondition::kAlways, {}, {}};
  step.changes.push_back(
      {ChangeAction::kBackUp,
       appendComponent(*_pathToRcpHome, InstanceService::INSTALL_BACKUPS_DIRECTORY),
       std::nullopt,
       ChangeNote::kInstallBackups,
       {},
       {}});
  const std::optional<std::string> customization = preferenceString(KEY_PLUGIN_CUSTOMIZATION);
  if (customization && fs::exists(*customization)) {
    step.changes.push_back({ChangeAction::kMerge,
                            appendComponent(*_pathToRcpHome, InstanceService::PLUGIN_CUSTOMIZATION),
                            customization,
                            ChangeNote::kNone,
                            {},
                            {}});
  }
  return step;
}

Step Hotfix::keystoreStep() const {
  Step step{StepKind::kReplaceKeystores, StepCondition::kAlways, {}, {}};
  const std::string deploy = appendComponent(*_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY);
  for (const std::string& name : InstanceService::keystoresIn(_service->at(deploy))) {
    step.changes.push_back({ChangeAction::kDelete,
                            appendComponent(deploy, name),
                            std::nullopt,
                            ChangeNote::kKeystore,
                            {},
                            {}});
  }
  const std::optional<std::string> keystore = preferenceString(KEY_KEYSTORE);
  for (const std::string& name : InstanceService::keystoresIn(keystore)) {
    step.changes.push_back({ChangeAction::kReplace,
                            appendComponent(deploy, name),
                            appendComponent(*keystore, name),
                            ChangeNote::kKeystore,
                            {},
                            {}});
  }
  return step;
}

Step Hotfix::extrasStep() const {
  Step step{StepKind::kCopyExtras, StepCondition::kAlways, {}, {}};
  const std::optional<std::string> source = preferenceString(KEY_EXTRAS);
  if (source && fs::isDirectory(*source) &&
      !fs::listDirectory(*source).value_or(std::vector<std::string>{}).empty()) {
    step.changes.push_back({ChangeAction::kCopy,
                            deployPath(InstanceService::EXTRAS_DIRECTORY),
                            source,
                            ChangeNote::kMergedIntoWhatIsThere,
                            {},
                            {}});
  }
  return step;
}

Step Hotfix::runStep() const {
  const std::string launcher = _service->launcherPath().value_or(
      appendComponent(*_pathToRcpHome, InstanceService::LAUNCHER));
  std::vector<std::string> run = provisioningArguments();
  run.insert(run.begin(), launcher);
  return {StepKind::kRunInstall,
          StepCondition::kAlways,
          {{ChangeAction::kDelete,
            appendComponent(os::deletingLastComponent(*_pathToRcpHome),
                            InstanceService::PROVISIONING_RC),
            std::nullopt,
            ChangeNote::kBeforeLauncherRun,
            {},
            {}},
           {ChangeAction::kRun, launcher, std::nullopt, ChangeNote::kInstallRun, {}, {}}},
          {run}};
}

Step Hotfix::recordStep() const {
  Step step{StepKind::kRecordHotfixVersion, StepCondition::kIfProvisioningSucceeded, {}, {}};
  if (const std::optional<std::string> version = preferenceString(KEY_PACKAGE_VERSION)) {
    step.changes.push_back({ChangeAction::kRewrite,
                            appendComponent(*_pathToRcpHome, InstanceService::INSTALL_INFO),
                            std::nullopt,
                            ChangeNote::kHotfixVersion,
                            *version,
                            {}});
  }
  return step;
}

Step Hotfix::repairStep() const {
  const std::string platformHome = os::deletingLastComponent(*_pathToRcpHome);
  return {
      StepKind::kRepair,
      StepCondition::kAlways,
      {{ChangeAction::kRepair, *_pathToRcpHome, std::nullopt, ChangeNote::kRepairStandard, {}, {}},
       {ChangeAction::kRepair,
        appendComponent(platformHome, InstanceService::SHARED_DIRECTORY),
        std::nullopt,
        ChangeNote::kRepairStandardIfDirectory,
        {},
        {}},
       {ChangeAction::kRepair,
        "workspace (rcp.data)",
        std::nullopt,
        ChangeNote::kRepairStandard,
        {},
        {}}},
      {}};
}

Step Hotfix::handOffStep() const {
  return {StepKind::kHandOff,
          StepCondition::kAlways,
          {{ChangeAction::kDelete,
            _locations.qelConfigFile,
            std::nullopt,
            ChangeNote::kWhenThere,
            {},
            {}},
           {ChangeAction::kWrite,
            _locations.configurationFile,
            std::nullopt,
            ChangeNote::kHandOffKeys,
            {},
            {}}},
          {}};
}

StepResult Hotfix::perform(const Step& step) {
  switch (step.kind) {
    case StepKind::kStageInstallManifest:
      // Nothing after it can work without the staged request.
      return copyHotfixInstallManifest() ? StepResult::kDone : StepResult::kEnded;
    case StepKind::kCopyRemovalManifest:
      os::SystemLog::log(kInfo, "Copying install manifest.");
      copyPatchRemoveManifest();
      return StepResult::kDone;
    case StepKind::kBackUpInstallManifest:
      backupInstallManifest();
      return StepResult::kDone;
    case StepKind::kWriteManifestVersion:
      updateProvisionManifestVersion();
      return StepResult::kDone;
    case StepKind::kMergeCustomization:
      return mergeCustomization();
    case StepKind::kReplaceKeystores:
      return replaceKeystores();
    case StepKind::kCopyExtras:
      os::SystemLog::log(kInfo, "Copying extras file.");
      // What the merge leaves alone (a link of the instance where the package has a directory)
      // answers false too, so a failed merge is logged, not fatal; a write that did not reach
      // the disk still fails the sync before the record.
      copyExtras();
      return StepResult::kDone;
    case StepKind::kRunInstall:
      return runInstall(step);
    case StepKind::kRecordHotfixVersion:
      return recordHotfixVersion();
    case StepKind::kRepair:
      // A failed run leaves the platform's files changed too, so their owners and modes are
      // put right and the result pane still learns where to look.
      _service->updatePermissions(true, true);
      return StepResult::kDone;
    case StepKind::kHandOff:
      setupConfiguratioForResultPanel();
      return StepResult::kDone;
    case StepKind::kStageRemovalManifest:
    case StepKind::kBackUpBeforeRemoval:
    case StepKind::kWriteVersionBeforeRemoval:
    case StepKind::kRunRemoval:
    case StepKind::kClearHotfixRecord:
    case StepKind::kDeleteRemovalManifest:
    case StepKind::kRunCleanup:
    case StepKind::kReportRemoval:
    case StepKind::kRepairWorkspace:
      // The removal's steps are PatchRemove's to carry out; one here is a wrong list.
      os::SystemLog::log(kError, "The install cannot carry out the step \"%s\".",
                         describe(step.kind));
      return StepResult::kEnded;
  }
  return StepResult::kEnded;
}

StepResult Hotfix::mergeCustomization() {
  os::SystemLog::log(kInfo, "Processing plugin_customization.ini. ");
  // What this and the keystore and extras steps replace is kept first, for a failed run.
  _keptFiles = _service->keepWhatInstallReplaces(preferenceString(KEY_PLUGIN_CUSTOMIZATION),
                                                 preferenceString(KEY_KEYSTORE),
                                                 preferenceString(KEY_EXTRAS));
  mergePluginCustomization();
  return StepResult::kDone;
}

StepResult Hotfix::replaceKeystores() {
  os::SystemLog::log(kInfo, "Copying .keystore file.");
  // A keystore that is not whole on the disk is a failed write: the run goes on, as for every
  // step, but does not end as a success.
  if (copyKeyStores()) return StepResult::kDone;
  sendError(kInstallNotCompleted,
            {appendComponent(*_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY)});
  return StepResult::kFailed;
}

StepResult Hotfix::runInstall(const Step& step) {
  os::SystemLog::log(kInfo, "Starting provisioning system. ");
  // The run the step names, which is what plan shows.
  const std::vector<std::string>& run = step.launcherRuns.front();
  const bool provisioned =
      startProvisioning({run.begin() + 1, run.end()}) && _service->getProvisioningResult() != -1;
  if (!provisioned && _keptFiles) _service->restoreUnappliedInstall(*_keptFiles);
  return provisioned ? StepResult::kDone : StepResult::kFailed;
}

StepResult Hotfix::recordHotfixVersion() {
  // The record vouches for what the run and the steps before it wrote: that goes to the disk
  // first. An install whose version record could not be written is no success: the next
  // install would neither remove this hotfix first nor check its version.
  if (!_service->makeProvisioningDurable()) {
    sendError(kInstallNotCompleted,
              {appendComponent(*_pathToRcpHome, InstanceService::INSTALL_INFO)});
    return StepResult::kFailed;
  }
  return updateHotfixVersion() ? StepResult::kDone : StepResult::kFailed;
}

bool Hotfix::installNewHotfix() {
  if (!_pathToRcpHome || !_pathToInstallPackage || !_preference) return false;
  if (!_service) return copyHotfixInstallManifest();  // sends code 4: nothing to stage into
  WorkflowOutcomes outcomes;
  const bool succeeded = runSteps(steps(), *this, outcomes, _progress);
  return outcomes.provisioningSucceeded && succeeded;
}

}  // namespace rcpinstall
