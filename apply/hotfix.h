// Hotfix: one hotfix installation into one installed platform, from staging to hand-off.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/configuration.h"
#include "instance/instance_service.h"
#include "instance/workflow_step.h"
#include "os/plist_value.h"

namespace rcpinstall {

// The settings file inside the install package: Contents/Resources/hotfix.plist.
inline constexpr const char* PACKAGE_CONTENTS = "Contents";
inline constexpr const char* PACKAGE_RESOURCES = "Resources";
inline constexpr const char* SETTINGS_FILE = "hotfix.plist";

// Keys of the settings file.
inline constexpr const char* KEY_BUNDLE_NAME = "bundleName";
inline constexpr const char* KEY_FRAMEWORK_PATH = "frameworkPath";
inline constexpr const char* KEY_ALLOW_MULTI_INSTANCE = "allowMultiInstance";
inline constexpr const char* KEY_PACKAGE_VERSION = "version";
inline constexpr const char* KEY_HOTFIX_MANIFEST = "pathToHotfixManifest";
inline constexpr const char* KEY_PATCH_REMOVE_MANIFEST = "pathToPatchRemoveManifest";
inline constexpr const char* KEY_PLUGIN_CUSTOMIZATION = "pathToPluginCustomization";
inline constexpr const char* KEY_UPDATE_SITE_LIST = "updateSiteList";
inline constexpr const char* KEY_KEYSTORE = "keystore";
inline constexpr const char* KEY_EXTRAS = "extras";

// Where a product keeps its platform when its settings name no frameworkPath.
inline constexpr const char* DEFAULT_FRAMEWORK_PATH = "Contents/MacOS";
inline constexpr const char* APP_EXTENSION = ".app";
inline constexpr const char* RCP_DIRECTORY_NAME = "rcp";
inline constexpr const char* LAUNCHER_NAME = InstanceService::LAUNCHER;
inline constexpr const char* HOTFIX_MANIFEST_NAME = "install.hotfix.xml";

// Left in /tmp by the platform's quick-launch configuration; stale once a hotfix is in.

// The settings file of a package: <package>/Contents/Resources/hotfix.plist.
std::string settingsFilePath(const std::string& package);
// The settings file's root dictionary; none when it is missing or no dictionary.
std::optional<os::PlistValue> readSettings(const std::string& package);
// The value of a settings key when it is a string; none otherwise.
std::optional<std::string> settingsString(const os::PlistValue& settings, const char* key);
// frameworkPath when it is a non-empty string, else DEFAULT_FRAMEWORK_PATH.
std::string frameworkPathOf(const os::PlistValue& settings);
// <bundle>/<frameworkPath>/rcp.
std::string rcpHomeOf(const std::string& bundlePath, const os::PlistValue& settings);

// Why the install would stop at its staging: the code and its details.
struct Refusal {
  int code;
  std::vector<std::string> details;
};

// Fixed places the workflow writes; tests give their own.
struct HotfixLocations {
  std::string configurationFile = CONFIGURATION_FILE;
  std::string qelConfigFile = QEL_CONFIG_FILE;
  // The directory of the error channel; none for the invoking user's own.
  std::optional<std::string> errorStoreDirectory;
};

// One object serves one install: create it with the package and the install location, call
// installNewHotfix once, drop it. Everything done to the platform goes through its
// InstanceService.
class Hotfix : public StepPerformer {
 public:
  // The rcp home is <location>/<bundleName>.app/<frameworkPath>/rcp from the settings, unless
  // the caller gives the one its checks were made on (pathToRcpHome).
  // It works through the run's roots when given, else opens its own (InstanceService).
  Hotfix(const std::optional<std::string>& pathToInstallPackage,
         const std::optional<std::string>& pathToInstallLocation,
         const std::optional<std::string>& pathToRcpHome = std::nullopt,
         HotfixLocations locations = {}, std::shared_ptr<const os::Roots> roots = nullptr);

  // Reads the settings, adds the defaults, resolves "${package}".
  void loadPreference();
  void initializeDefaultValues();
  void resolvePackageVariable(const std::optional<std::string>& package);

  // Stages the hotfix's install manifest as deploy/install.update.xml with its installer root
  // set to the package. Sends code 4 when the manifest is missing or cannot be read as one,
  // code 9 with the staged file's path when that file cannot be written.
  bool copyHotfixInstallManifest();
  // Code 4 with its details when the install manifest is missing, cannot be read or does not
  // parse: what copyHotfixInstallManifest would send. Reads only.
  std::optional<Refusal> installManifestRefusal() const;
  // The details of the code 4 that copyHotfixInstallManifest sends for an install manifest
  // that does not exist; none when it exists.
  std::optional<std::vector<std::string>> missingInstallManifest() const;
  void copyPatchRemoveManifest();
  void backupInstallManifest();
  void updateProvisionManifestVersion();
  void mergePluginCustomization();
  bool copyKeyStores();
  bool copyExtras();
  // The arguments of the launcher's provisioning run (after the program).
  std::vector<std::string> provisioningArguments() const;
  // Runs the launcher's "update" and waits. False, with no run made, when the result of an
  // earlier run could not be removed: it would be read as the outcome of this one.
  bool startProvisioning();
  // False when the package gives a version that could not be recorded.
  bool updateHotfixVersion();
  // Writes the configuration hand-off file for the result pane.
  void setupConfiguratioForResultPanel();

  // The whole workflow: the steps, carried out in order. True when the manifest was staged,
  // the provisioning did not fail and its version was recorded.
  bool installNewHotfix();

  // The install as steps, from the settings and the instance as they are now. With
  // `afterRemoval`, the removal of the installed hotfix (PatchRemove::steps) comes first and
  // has not run yet: the backup's name then depends on whether it staged its manifest. Empty
  // without settings or an instance.
  std::vector<Step> steps(bool afterRemoval = false) const;
  // Carries out one step of steps(), with the messages, codes and logging of the workflow.
  StepResult perform(const Step& step) override;
  // Announces each step as it starts (none by default).
  void showProgress(StepProgress* progress) { _progress = progress; }

  const std::optional<std::string>& pathToInstallPackage() const { return _pathToInstallPackage; }
  const std::optional<std::string>& pathToRcpHome() const { return _pathToRcpHome; }
  // The settings as the workflow uses them (defaults added, "${package}" resolved).
  const std::optional<os::PlistValue>& preference() const { return _preference; }

 private:
  std::optional<std::string> preferenceString(const char* key) const;
  bool startProvisioning(const std::vector<std::string>& arguments);
  std::string deployPath(const char* name) const;
  // The steps of steps(), one each.
  Step stagingStep() const;
  Step removalManifestStep() const;
  Step backupStep(bool afterRemoval) const;
  Step manifestVersionStep() const;
  Step customizationStep() const;
  Step keystoreStep() const;
  Step extrasStep() const;
  Step runStep() const;
  Step recordStep() const;
  Step repairStep() const;
  Step handOffStep() const;
  // The bodies of perform's longer steps, one each.
  StepResult mergeCustomization();
  StepResult replaceKeystores();
  StepResult runInstall(const Step& step);
  StepResult recordHotfixVersion();
  void sendError(int code, const std::vector<std::string>& details) const;

  std::optional<std::string> _pathToInstallPackage;
  std::optional<std::string> _pathToInstallLocation;
  std::optional<std::string> _pathToRcpHome;
  std::optional<os::PlistValue> _preference;  // a dictionary when present
  std::optional<InstanceService> _service;
  HotfixLocations _locations;
  StepProgress* _progress = nullptr;
  // Where this install kept what it replaces (InstanceService::keepWhatInstallReplaces).
  std::optional<std::string> _keptFiles;
};

}  // namespace rcpinstall
