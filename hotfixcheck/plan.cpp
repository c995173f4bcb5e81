// hotfixcheck plan: what patchapply would decide and do, from the decision it acts on.
#include "apply/hotfix.h"
#include "foundation/configuration.h"
#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/instance_service.h"
#include "os/file_system.h"
#include "os/path.h"
#include "remove/patch_remove.h"

namespace rcpinstall::HotfixCheck {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

// The manifest version that names the backup of install.xml made next.
std::string backupVersion(const std::string& rcpHome) {
  const std::string properties = appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (!fs::exists(properties)) return "";
  const std::optional<std::string> version =
      JavaProperties(properties).getPropertyForKey(InstanceService::KEY_MANIFEST_VERSION);
  return version && !version->empty() ? *version : "old";
}

class Steps {
 public:
  explicit Steps(std::vector<PlannedStep>& steps) : steps_(steps) {}
  void add(std::string action, std::string path, std::optional<std::string> source = std::nullopt,
           std::string note = {}) {
    steps_.push_back({std::move(action), std::move(path), std::move(source), std::move(note)});
  }

 private:
  std::vector<PlannedStep>& steps_;
};

// The removal of the installed hotfix that comes first, as PatchRemove does it.
void planRemoval(const std::string& rcpHome, const std::string& launcher, const std::string& locale,
                 Plan& result, Steps& steps) {
  const std::string deploy = appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY);
  const std::string manifest = appendComponent(deploy, PatchRemove::UNINSTALL_MANIFEST);
  if (!fs::exists(manifest)) {
    steps.add("none", manifest, std::nullopt,
              "the installed hotfix has no removal manifest: its removal fails and starts no "
              "launcher; the install goes on");
    return;
  }
  const std::string version = backupVersion(rcpHome);
  steps.add("stage", appendComponent(deploy, InstanceService::UPDATE_MANIFEST), manifest,
            "removal of the installed hotfix");
  if (!version.empty()) {
    steps.add("back up", appendComponent(deploy, "install." + version + ".xml"),
              appendComponent(deploy, InstanceService::INSTALL_MANIFEST));
    steps.add("rewrite", appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES),
              std::nullopt, "provisioning.manifest.version: a new version");
  }
  steps.add("delete",
            appendComponent(os::deletingLastComponent(rcpHome), InstanceService::PROVISIONING_RC),
            std::nullopt, "before each launcher run");
  std::vector<std::string> update{launcher};
  for (const std::string& argument : PatchRemove::updateLauncherArguments(locale)) {
    update.push_back(argument);
  }
  result.launcherRuns.push_back(update);
  result.launcherRuns.push_back(update);
  steps.add("run", launcher, std::nullopt, "provisioning update with the removal manifest, twice");
  steps.add("rewrite", appendComponent(rcpHome, InstanceService::INSTALL_INFO), std::nullopt,
            "hotfixVersion removed, when the removal's provisioning succeeds");
  steps.add("delete", manifest, std::nullopt, "when the removal's provisioning succeeds");
  std::vector<std::string> cleanup{launcher};
  for (const std::string& argument : PatchRemove::cleanupLauncherArguments()) {
    cleanup.push_back(argument);
  }
  steps.add("run", launcher, std::nullopt,
            "provisioning cleanup, when the removal's provisioning succeeds");
  result.launcherRuns.push_back(cleanup);
  steps.add("repair", "workspace (rcp.data)", std::nullopt,
            "owner, group admin, mode 0775, when the removal succeeds");
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
  const std::string rcpHome = *decision.rcpHome;
  const std::string deploy = appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY);
  const std::string launcher =
      InstanceService(rcpHome).launcherPath().value_or(appendComponent(rcpHome, LAUNCHER_NAME));
  const std::string platformHome = os::deletingLastComponent(rcpHome);
  const std::string locale = InstallUtil::getCurrentLocale();
  Steps steps(result.steps);

  if (decision.removesInstalledHotfix) planRemoval(rcpHome, launcher, locale, result, steps);

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
  const os::PlistValue& settings = *hotfix.preference();
  const auto setting = [&settings](const char* key) { return settingsString(settings, key); };
  // A manifest that is there and cannot be read stops the staging just the same.
  if (unreadableForInstall(setting(KEY_HOTFIX_MANIFEST).value_or(""))) {
    result.code = kInstallFileNotFound;
    result.details = {HOTFIX_MANIFEST_NAME};
    result.exitStatus = 1;
    return result;
  }
  const std::string newVersion =
      decision.removesInstalledHotfix ? "<new version>" : backupVersion(rcpHome);

  steps.add("stage", appendComponent(deploy, InstanceService::UPDATE_MANIFEST),
            setting(KEY_HOTFIX_MANIFEST),
            std::string(INSTALLER_ROOT_PLACEHOLDER) + " becomes file:" + package);
  const std::optional<std::string> removal = setting(KEY_PATCH_REMOVE_MANIFEST);
  if (const std::optional<std::string> unreadable =
          removal && fs::exists(*removal) ? unreadableForInstall(*removal) : std::nullopt) {
    steps.add("none", *removal, std::nullopt,
              "cannot be read (" + *unreadable +
                  "): the install skips it without a word and the hotfix cannot be removed later");
  } else if (removal && fs::exists(*removal)) {
    steps.add("copy", appendComponent(deploy, InstanceService::PATCH_REMOVE_MANIFEST), removal);
  } else {
    steps.add("none", removal.value_or(""), std::nullopt,
              "no removal manifest: the hotfix cannot be removed later");
  }
  if (!newVersion.empty()) {
    steps.add("back up", appendComponent(deploy, "install." + newVersion + ".xml"),
              appendComponent(deploy, InstanceService::INSTALL_MANIFEST));
    steps.add("rewrite", appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES),
              std::nullopt, "provisioning.manifest.version: a new version");
  }
  if (const std::optional<std::string> customization = setting(KEY_PLUGIN_CUSTOMIZATION);
      customization && fs::exists(*customization)) {
    steps.add("merge", appendComponent(rcpHome, InstanceService::PLUGIN_CUSTOMIZATION),
              customization);
  }
  const std::optional<std::string> keystore = setting(KEY_KEYSTORE);
  for (const std::string& name : fs::listDirectory(deploy).value_or(std::vector<std::string>{})) {
    if (InstallUtil::hasPrefixCaseInsensitive(name, InstanceService::KEYSTORE_PREFIX)) {
      steps.add("delete", appendComponent(deploy, name), std::nullopt, "keystore");
    }
  }
  if (keystore) {
    for (const std::string& name :
         fs::listDirectory(*keystore).value_or(std::vector<std::string>{})) {
      if (InstallUtil::hasPrefixCaseInsensitive(name, InstanceService::KEYSTORE_PREFIX)) {
        steps.add("replace", appendComponent(deploy, name), appendComponent(*keystore, name),
                  "keystore");
      }
    }
  }
  if (const std::optional<std::string> extras = setting(KEY_EXTRAS);
      extras && fs::isDirectory(*extras) &&
      !fs::listDirectory(*extras).value_or(std::vector<std::string>{}).empty()) {
    steps.add("copy", appendComponent(deploy, InstanceService::EXTRAS_DIRECTORY), extras,
              "merged into what is there");
  }
  steps.add("delete", appendComponent(platformHome, InstanceService::PROVISIONING_RC), std::nullopt,
            "before the launcher run");

  std::vector<std::string> install{launcher};
  for (const std::string& argument : hotfix.provisioningArguments()) install.push_back(argument);
  result.launcherRuns.push_back(install);
  steps.add("run", launcher, std::nullopt, "provisioning update with the install manifest");

  if (setting(KEY_PACKAGE_VERSION)) {
    steps.add(
        "rewrite", appendComponent(rcpHome, InstanceService::INSTALL_INFO), std::nullopt,
        "hotfixVersion " + *setting(KEY_PACKAGE_VERSION) + ", when the provisioning succeeds");
  }
  steps.add("repair", rcpHome, std::nullopt, "owner, group admin, mode 0775");
  steps.add("repair", appendComponent(platformHome, InstanceService::SHARED_DIRECTORY),
            std::nullopt, "owner, group admin, mode 0775, when it is a directory");
  steps.add("delete", QEL_CONFIG_FILE, std::nullopt, "when it is there");
  steps.add("write", CONFIGURATION_FILE, std::nullopt, "P_RCPDATA and pathToRcpHome");
  noteLinksOutOfPackage(package, result.steps);
  return result;
}

}  // namespace rcpinstall::HotfixCheck
