// InstanceService: staging manifests, the manifest backup, launcher keys, plug-in preferences.
#include <string>

#include "foundation/install_manifest.h"
#include "foundation/java_properties.h"
#include "instance/instance_files.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

// Sets one key of an existing properties file and writes it back.
bool setKeyOfExistingFile(const os::Location& path, const char* key,
                          const std::optional<std::string>& value) {
  if (!value || !fs::exists(path)) return false;
  std::optional<JavaProperties> properties = instance_files::loadForRewrite(path);
  if (!properties || !properties->setProperty(value, key)) return false;
  return properties->savePropertiesToFile(path);
}

// Every key of the file at `path` set in `target`, overriding what was there.
void mergeInto(JavaProperties& target, const os::Location& path) {
  if (!fs::exists(path)) return;
  const JavaProperties other(path);
  for (const auto& [key, value] : other.table()) target.setProperty(value, key);
}

using Staging = InstanceService::Staging;

// Replaces what is at the destination with the source's content. A directory there is
// removed first (an atomic replacement cannot take its place); a file or link is replaced
// in one step, so a failed copy leaves the old file as it was. The source is read first, so
// that a source that cannot be read changes nothing and is told apart from a failed write.
Staging stageCopy(const os::Location& source, const os::Location& destination) {
  const std::optional<std::string> bytes = os::readWholeFile(source);
  if (!bytes) return Staging::kSourceUnusable;
  if (fs::isDirectory(destination) && !instance_files::isSymbolicLink(destination)) {
    fs::removeItem(destination);
  }
  return os::replaceFileAtomically(destination, *bytes) ? Staging::kStaged : Staging::kNotWritten;
}

}  // namespace

InstanceService::Staging InstanceService::stageManifest(
    const std::optional<std::string>& source, const std::optional<std::string>& toFile,
    const std::optional<std::string>& replaceInstallerRootWith) {
  if (!source || !fs::exists(place(*source))) return Staging::kSourceUnusable;
  if (!_pathToRcphome || !fs::exists(at(*_pathToRcphome)) || !toFile ||
      !instance_files::isPlainFileName(*toFile)) {
    return Staging::kNotWritten;
  }
  const std::string destination =
      appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY), *toFile);
  os::SystemLog::log(os::SystemLog::kInfo, "Copying install manifest to %s. ", destination.c_str());
  if (const Staging copied = stageCopy(place(*source), at(destination));
      copied != Staging::kStaged) {
    return copied;
  }
  if (!replaceInstallerRootWith || !fs::exists(*replaceInstallerRootWith)) return Staging::kStaged;

  os::SystemLog::log(os::SystemLog::kInfo, "Updating ${installer.root}. ");
  InstallManifest manifest(at(destination));
  // The copy is the source's content: one that does not parse is the source's fault.
  if (!manifest.hasDocument()) return Staging::kSourceUnusable;
  const std::string installerRoot = "file:" + *replaceInstallerRootWith;
  os::SystemLog::log(os::SystemLog::kInfo, "Get ${installer.root} : %s. ", installerRoot.c_str());
  manifest.replaceInstallerRootWith(installerRoot);
  os::SystemLog::log(os::SystemLog::kInfo, "Saving install manifest");
  return manifest.saveInstallManifestAs() ? Staging::kStaged : Staging::kNotWritten;
}

bool InstanceService::copyInstallManifest(
    const std::optional<std::string>& source, const std::optional<std::string>& toFile,
    const std::optional<std::string>& replaceInstallerRootWith) {
  return stageManifest(source, toFile, replaceInstallerRootWith) == Staging::kStaged;
}

bool InstanceService::copyInstallManifest(const std::optional<std::string>& source,
                                          const InstallerRoot& replaceInstallerRootWith) {
  return copyInstallManifest(source, std::string(INSTALL_MANIFEST), replaceInstallerRootWith.path);
}

bool InstanceService::copyUpdateManifest(
    const std::optional<std::string>& source,
    const std::optional<std::string>& replaceInstallerRootWith) {
  return copyInstallManifest(source, std::string(UPDATE_MANIFEST), replaceInstallerRootWith);
}

bool InstanceService::copyManifest(const std::optional<std::string>& source) {
  if (!source) return false;
  return copyInstallManifest(source, os::lastComponent(*source), std::nullopt);
}

bool InstanceService::copyPatchRemoveManifest(const std::optional<std::string>& source) {
  if (!_pathToRcphome || !source || !fs::exists(place(*source)) ||
      !fs::exists(at(*_pathToRcphome))) {
    return false;
  }
  return stageCopy(place(*source),
                   at(appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY),
                                      PATCH_REMOVE_MANIFEST))) == Staging::kStaged;
}

std::optional<std::string> InstanceService::installManifestBackupPath() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string ignitorProperties = appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES);
  if (!fs::exists(at(ignitorProperties))) return std::nullopt;
  std::string version =
      JavaProperties(at(ignitorProperties)).getPropertyForKey(KEY_MANIFEST_VERSION).value_or("");
  // The version names a file in deploy; one that would lead elsewhere is not used.
  if (version.empty() || version.find('/') != std::string::npos) version = "old";
  return appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY),
                         "install." + version + ".xml");
}

void InstanceService::backupInstallManifest() {
  const std::optional<std::string> backup = installManifestBackupPath();
  if (!backup) return;
  const std::string manifest =
      appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY), INSTALL_MANIFEST);
  if (!fs::exists(at(manifest)) || fs::entryExists(at(*backup))) return;
  // Written whole through atomic replacement, so that a failed copy never leaves a partial
  // backup that later runs would keep.
  instance_files::copyFileContent(at(manifest), at(*backup));
}

bool InstanceService::updateProvisionManifestVersion(const std::optional<std::string>& version) {
  if (!_pathToRcphome) return false;
  return setKeyOfExistingFile(at(appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES)),
                              KEY_MANIFEST_VERSION, version);
}

bool InstanceService::updateInstallID(const std::optional<std::string>& installID) {
  if (!_pathToRcphome) return false;
  return setKeyOfExistingFile(at(appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES)),
                              KEY_INSTALL_ID, installID);
}

bool InstanceService::mergePluginCustomizationWithRcphome(const std::optional<std::string>& path) {
  if (!_pathToRcphome || !path || !fs::isDirectory(at(*_pathToRcphome))) return false;
  const std::string target = appendComponent(*_pathToRcphome, PLUGIN_CUSTOMIZATION);
  if (!fs::entryExists(at(target))) return instance_files::copyFileContent(*path, at(target));
  std::optional<JavaProperties> merged = instance_files::loadForRewrite(at(target));
  if (!merged) return false;
  mergeInto(*merged, *path);
  return merged->savePropertiesToFile(at(target));
}

bool InstanceService::mergePluginCustomizationWithBase(const std::optional<std::string>& path) {
  if (!_pathToRcphome || !path || !fs::exists(*path)) return false;
  const std::optional<std::string> baseVersion = getBaseVersion();
  if (!baseVersion) return false;
  const std::string baseFile = appendComponent(
      appendComponent(
          appendComponent(appendComponent(*_pathToRcphome, ECLIPSE_DIRECTORY), PLUGINS_DIRECTORY),
          BASE_PLUGIN_PREFIX + *baseVersion),
      PLUGIN_CUSTOMIZATION);
  if (!fs::exists(at(baseFile))) return true;
  std::optional<JavaProperties> merged = instance_files::loadForRewrite(at(baseFile));
  if (!merged) return false;
  mergeInto(*merged, *path);
  const bool baseWritten = merged->savePropertiesToFile(at(baseFile));
  const bool rcphomeWritten =
      merged->savePropertiesToFile(at(appendComponent(*_pathToRcphome, PLUGIN_CUSTOMIZATION)));
  return baseWritten && rcphomeWritten;
}

}  // namespace rcpinstall
