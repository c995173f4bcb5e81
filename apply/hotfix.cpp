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

constexpr const char* UPDATE_SITE_TEMPLATE = "-DprovUpdateSiteListOverride=file:{update.site}";
constexpr const char* UPDATE_SITE_PLACEHOLDER = "{update.site}";

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

std::vector<std::string> installLauncherArguments(const std::string& locale,
                                                  const std::string& updateSite) {
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
          StringUtil::stringByReplacingOccurrencesOfString(UPDATE_SITE_TEMPLATE,
                                                           UPDATE_SITE_PLACEHOLDER, updateSite),
          "-Xms32m",
          "-Xmx256m"};
}

Hotfix::Hotfix(const std::optional<std::string>& pathToInstallPackage,
               const std::optional<std::string>& pathToInstallLocation,
               const std::optional<std::string>& pathToRcpHome, HotfixLocations locations)
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
  if (_pathToRcpHome && fs::exists(*_pathToRcpHome)) _service.emplace(_pathToRcpHome);
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
  InstallUtil::sendErrorMessage(makeErrorRecord(code, details), _locations.errorStoreDirectory);
}

std::optional<std::vector<std::string>> Hotfix::missingInstallManifest() const {
  const std::optional<std::string> manifest = preferenceString(KEY_HOTFIX_MANIFEST);
  if (manifest && fs::exists(*manifest)) return std::nullopt;
  return std::vector<std::string>{manifest.value_or(HOTFIX_MANIFEST_NAME)};
}

bool Hotfix::copyHotfixInstallManifest() {
  if (const std::optional<std::vector<std::string>> missing = missingInstallManifest()) {
    sendError(kInstallFileNotFound, *missing);
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
  return installLauncherArguments(InstallUtil::getCurrentLocale(),
                                  preferenceString(KEY_UPDATE_SITE_LIST).value_or(""));
}

bool Hotfix::startProvisioning() {
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
  const std::vector<std::string> arguments = provisioningArguments();
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
    if (fs::exists(launcherProperties)) {
      rcpData = JavaProperties(launcherProperties).getPropertyForKey(InstanceService::KEY_RCP_DATA);
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
  const std::string& rcpHome = *_pathToRcpHome;
  const std::string deploy = appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY);
  const std::string platformHome = os::deletingLastComponent(rcpHome);
  const auto setting = [this](const char* key) { return preferenceString(key); };
  using C = StepCondition;
  std::vector<Step> steps;

  steps.push_back({StepKind::kStageInstallManifest,
                   C::kAlways,
                   {{"stage",
                     appendComponent(deploy, InstanceService::UPDATE_MANIFEST),
                     setting(KEY_HOTFIX_MANIFEST),
                     std::string(INSTALLER_ROOT_PLACEHOLDER) +
                         " becomes file:" + _pathToInstallPackage.value_or(""),
                     {}}},
                   {}});

  Step removal{StepKind::kCopyRemovalManifest, C::kAlways, {}, {}};
  if (const std::optional<std::string> manifest = setting(KEY_PATCH_REMOVE_MANIFEST);
      manifest && fs::exists(*manifest)) {
    removal.changes.push_back({"copy",
                               appendComponent(deploy, InstanceService::PATCH_REMOVE_MANIFEST),
                               manifest,
                               {},
                               {}});
  } else {
    removal.changes.push_back({"none",
                               manifest.value_or(""),
                               std::nullopt,
                               "no removal manifest: the hotfix cannot be removed later",
                               {}});
  }
  steps.push_back(removal);

  // The removal that comes first backs install.xml up under the current version and writes a
  // new one, but only once it staged its manifest.
  Step backup{StepKind::kBackUpInstallManifest, C::kAlways, {}, {}};
  const std::string installManifest = appendComponent(deploy, InstanceService::INSTALL_MANIFEST);
  const std::optional<std::string> backupPath = _service->installManifestBackupPath();
  if (backupPath && fs::exists(installManifest)) {
    const bool removalStages =
        afterRemoval && fs::exists(appendComponent(deploy, InstanceService::PATCH_REMOVE_MANIFEST));
    if (removalStages) {
      const std::string next = appendComponent(deploy, "install.<new version>.xml");
      backup.changes.push_back({"back up",
                                next,
                                installManifest,
                                "named after the version the removal writes",
                                {{"the removal staged its manifest", next},
                                 {"the removal did not stage its manifest", *backupPath}}});
    } else if (!fs::entryExists(*backupPath)) {
      backup.changes.push_back({"back up", *backupPath, installManifest, {}, {}});
    }
  }
  steps.push_back(backup);

  Step version{StepKind::kWriteManifestVersion, C::kAlways, {}, {}};
  const std::string properties = appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (fs::exists(properties)) {
    version.changes.push_back(
        {"rewrite", properties, std::nullopt, "provisioning.manifest.version: a new version", {}});
  }
  steps.push_back(version);

  Step merge{StepKind::kMergeCustomization, C::kAlways, {}, {}};
  merge.changes.push_back({"back up",
                           appendComponent(rcpHome, InstanceService::INSTALL_BACKUPS_DIRECTORY),
                           std::nullopt,
                           "what this, the keystore and the extras steps replace and add, in a new "
                           "numbered directory; older ones beyond the last three go",
                           {}});
  if (const std::optional<std::string> customization = setting(KEY_PLUGIN_CUSTOMIZATION);
      customization && fs::exists(*customization)) {
    merge.changes.push_back({"merge",
                             appendComponent(rcpHome, InstanceService::PLUGIN_CUSTOMIZATION),
                             customization,
                             {},
                             {}});
  }
  steps.push_back(merge);

  Step keystores{StepKind::kReplaceKeystores, C::kAlways, {}, {}};
  for (const std::string& name : InstanceService::keystoresIn(deploy)) {
    keystores.changes.push_back(
        {"delete", appendComponent(deploy, name), std::nullopt, "keystore", {}});
  }
  const std::optional<std::string> keystore = setting(KEY_KEYSTORE);
  for (const std::string& name : InstanceService::keystoresIn(keystore)) {
    keystores.changes.push_back({"replace",
                                 appendComponent(deploy, name),
                                 appendComponent(*keystore, name),
                                 "keystore",
                                 {}});
  }
  steps.push_back(keystores);

  Step extras{StepKind::kCopyExtras, C::kAlways, {}, {}};
  if (const std::optional<std::string> source = setting(KEY_EXTRAS);
      source && fs::isDirectory(*source) &&
      !fs::listDirectory(*source).value_or(std::vector<std::string>{}).empty()) {
    extras.changes.push_back({"copy",
                              appendComponent(deploy, InstanceService::EXTRAS_DIRECTORY),
                              source,
                              "merged into what is there",
                              {}});
  }
  steps.push_back(extras);

  const std::string launcher =
      _service->launcherPath().value_or(appendComponent(rcpHome, InstanceService::LAUNCHER));
  std::vector<std::string> run = provisioningArguments();
  run.insert(run.begin(), launcher);
  steps.push_back(
      {StepKind::kRunInstall,
       C::kAlways,
       {{"delete",
         appendComponent(platformHome, InstanceService::PROVISIONING_RC),
         std::nullopt,
         "before the launcher run",
         {}},
        {"run", launcher, std::nullopt, "provisioning update with the install manifest", {}}},
       {run}});

  Step record{StepKind::kRecordHotfixVersion, C::kIfProvisioningSucceeded, {}, {}};
  if (const std::optional<std::string> packageVersion = setting(KEY_PACKAGE_VERSION)) {
    record.changes.push_back({"rewrite",
                              appendComponent(rcpHome, InstanceService::INSTALL_INFO),
                              std::nullopt,
                              "hotfixVersion " + *packageVersion,
                              {}});
  }
  steps.push_back(record);

  steps.push_back(
      {StepKind::kRepair,
       C::kAlways,
       {{"repair", rcpHome, std::nullopt, "owner, group admin, mode 0775", {}},
        {"repair",
         appendComponent(platformHome, InstanceService::SHARED_DIRECTORY),
         std::nullopt,
         "owner, group admin, mode 0775, when it is a directory",
         {}},
        {"repair", "workspace (rcp.data)", std::nullopt, "owner, group admin, mode 0775", {}}},
       {}});
  steps.push_back(
      {StepKind::kHandOff,
       C::kAlways,
       {{"delete", _locations.qelConfigFile, std::nullopt, "when it is there", {}},
        {"write", _locations.configurationFile, std::nullopt, "P_RCPDATA and pathToRcpHome", {}}},
       {}});
  return steps;
}

bool Hotfix::perform(const Step& step) {
  switch (step.kind) {
    case StepKind::kStageInstallManifest:
      return copyHotfixInstallManifest();
    case StepKind::kCopyRemovalManifest:
      os::SystemLog::log(kInfo, "Copying install manifest.");
      copyPatchRemoveManifest();
      return true;
    case StepKind::kBackUpInstallManifest:
      backupInstallManifest();
      return true;
    case StepKind::kWriteManifestVersion:
      updateProvisionManifestVersion();
      return true;
    case StepKind::kMergeCustomization:
      os::SystemLog::log(kInfo, "Processing plugin_customization.ini. ");
      // What this and the keystore and extras steps replace is kept first, for a failed run.
      _keptFiles = _service->keepWhatInstallReplaces(preferenceString(KEY_PLUGIN_CUSTOMIZATION),
                                                     preferenceString(KEY_KEYSTORE),
                                                     preferenceString(KEY_EXTRAS));
      mergePluginCustomization();
      return true;
    case StepKind::kReplaceKeystores:
      os::SystemLog::log(kInfo, "Copying .keystore file.");
      // A keystore that is not whole on the disk is a failed write: the run goes
      // on, as for every step, but does not end as a success.
      if (copyKeyStores()) return true;
      sendError(kInstallNotCompleted,
                {appendComponent(*_pathToRcpHome, InstanceService::DEPLOY_DIRECTORY)});
      return false;
    case StepKind::kCopyExtras:
      os::SystemLog::log(kInfo, "Copying extras file.");
      // What the merge leaves alone (a link of the instance where the package has a directory)
      // answers false too, so a failed merge is logged, not fatal; a write that did not reach
      // the disk still fails the sync before the record.
      copyExtras();
      return true;
    case StepKind::kRunInstall: {
      os::SystemLog::log(kInfo, "Starting provisioning system. ");
      const bool provisioned = startProvisioning() && _service->getProvisioningResult() != -1;
      if (!provisioned && _keptFiles) _service->restoreUnappliedInstall(*_keptFiles);
      return provisioned;
    }
    case StepKind::kRecordHotfixVersion:
      // The record vouches for what the run and the steps before it wrote: that goes to the
      // disk first. An install whose version record could not be written is no success: the
      // next install would neither remove this hotfix first nor check its version.
      if (!_service->makeProvisioningDurable()) {
        sendError(kInstallNotCompleted,
                  {appendComponent(*_pathToRcpHome, InstanceService::INSTALL_INFO)});
        return false;
      }
      return updateHotfixVersion();
    case StepKind::kRepair:
      // A failed run leaves the platform's files changed too, so their owners and modes are
      // put right and the result pane still learns where to look.
      _service->updatePermissions(true, true);
      return true;
    case StepKind::kHandOff:
      setupConfiguratioForResultPanel();
      return true;
    default:
      return true;  // a step of the removal workflow
  }
}

bool Hotfix::installNewHotfix() {
  if (!_pathToRcpHome || !_pathToInstallPackage || !_preference) return false;
  if (!_service) return copyHotfixInstallManifest();  // sends code 4: nothing to stage into
  bool provisioned = false;
  bool succeeded = true;
  for (const Step& step : steps()) {
    if (step.when == StepCondition::kIfProvisioningSucceeded && !provisioned) continue;
    const bool done = perform(step);
    if (step.kind == StepKind::kStageInstallManifest && !done) return false;
    if (step.kind == StepKind::kRunInstall) provisioned = done;
    if (!done) succeeded = false;
  }
  return provisioned && succeeded;
}

}  // namespace rcpinstall
