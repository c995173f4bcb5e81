// InstanceService: recognising the instance, its version records, result file and add-ons.
#include <cstddef>
#include <utility>

#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/properties.h"
#include "foundation/provisioning_result_file.h"
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

// The "addons" entries of a registry; none that are not dictionaries count.
const os::PlistArray* addonEntries(const Properties& registry) {
  const os::PlistValue* root = registry.dictionary();
  if (root == nullptr) return nullptr;
  const os::PlistValue* addons = root->find(InstanceService::KEY_ADDONS);
  return addons != nullptr ? addons->asArray() : nullptr;
}

// Index of the first dictionary entry whose "ID" is the identifier.
std::optional<size_t> findAddon(const os::PlistArray& entries, const std::string& addonID) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const os::PlistValue* id = entries[i].find(InstanceService::KEY_ADDON_ID);
    if (id != nullptr && id->asString() != nullptr && *id->asString() == addonID) return i;
  }
  return std::nullopt;
}

// Stores or (given none) removes one key of installInfo.plist, creating the file when it is
// missing. A record that exists but is not a dictionary is left alone.
bool writeInstallInfo(const os::Location& path, const char* key,
                      const std::optional<std::string>& value) {
  Properties record = fs::entryExists(path) ? Properties(path) : Properties();
  if (!record.hasDictionary()) return false;
  std::optional<os::PlistValue> stored;
  if (value) stored = os::PlistValue(*value);
  if (!record.setProperty(std::move(stored), key)) return false;
  return record.savePropertiesToFile(path);
}

}  // namespace

InstanceService::InstanceService(const std::optional<std::string>& pathToRcphome)
    : InstanceService(nullptr, pathToRcphome) {}

InstanceService::InstanceService(std::shared_ptr<const os::Roots> roots,
                                 const std::optional<std::string>& pathToRcphome)
    : _roots(std::move(roots)) {
  if (!pathToRcphome || !rcpHomeExists(*pathToRcphome)) return;
  _pathToRcphome = pathToRcphome;
  if (!_roots) _roots = openProductRoots(std::nullopt, *pathToRcphome);
}

os::Location InstanceService::place(const std::string& path) const {
  return _roots && _roots->holds(path) ? _roots->at(path) : os::Location(path);
}

os::Location InstanceService::at(const std::string& path) const {
  if (_roots) return _roots->at(path);
  // No roots: every service refuses the location.
  static const os::Roots none;
  return none.at(path);
}

std::optional<std::string> InstanceService::launcherPath() const {
  if (!_pathToRcphome || !rcpHomeExists(*_pathToRcphome)) return std::nullopt;
  const std::optional<std::string> home = os::absolutePath(*_pathToRcphome);
  if (!home) return std::nullopt;
  return appendComponent(*home, LAUNCHER);
}

bool InstanceService::rcpHomeExists(const std::string& path) {
  return fs::exists(path);
}

bool InstanceService::hasInstanceInstalled() const {
  if (!_pathToRcphome) return false;
  return fs::exists(
      at(appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY), INSTALL_MANIFEST)));
}

std::optional<std::string> InstanceService::getBaseVersion() const {
  if (!_pathToRcphome || !fs::isDirectory(at(*_pathToRcphome))) return std::nullopt;
  const std::string plugins =
      appendComponent(appendComponent(*_pathToRcphome, ECLIPSE_DIRECTORY), PLUGINS_DIRECTORY);
  if (!fs::isDirectory(at(plugins))) return std::nullopt;
  const std::optional<std::vector<std::string>> names = fs::listDirectory(at(plugins));
  if (!names) return std::nullopt;
  const std::string_view prefix = BASE_PLUGIN_PREFIX;
  std::optional<std::string> best;
  for (const std::string& name : *names) {
    if (!name.starts_with(prefix)) continue;
    // The prefix ends in the first "_"; the version runs to the next one.
    const size_t start = prefix.size();
    const size_t end = name.find('_', start);
    std::string version = name.substr(start, end == std::string::npos ? end : end - start);
    if (!best || version > *best) best = std::move(version);
  }
  return best;
}

std::optional<std::string> InstanceService::getInstalledVersion() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string path = appendComponent(*_pathToRcphome, INSTALL_INFO);
  os::SystemLog::log(os::SystemLog::kInfo, "Get installInfo: %s", path.c_str());
  if (!fs::exists(at(path))) return std::nullopt;
  return Properties(at(path)).getStringForKey(KEY_VERSION);
}

bool InstanceService::setInstalledVersion(const std::optional<std::string>& version) {
  if (!_pathToRcphome || !version) return false;
  return writeInstallInfo(at(appendComponent(*_pathToRcphome, INSTALL_INFO)), KEY_VERSION, version);
}

std::optional<std::string> InstanceService::getCurrentHotfixVersion() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string path = appendComponent(*_pathToRcphome, INSTALL_INFO);
  if (!fs::exists(at(path))) return std::nullopt;
  return Properties(at(path)).getStringForKey(KEY_HOTFIX_VERSION);
}

bool InstanceService::updateHotfixVersion(const std::optional<std::string>& version) {
  if (!_pathToRcphome) return false;
  return writeInstallInfo(at(appendComponent(*_pathToRcphome, INSTALL_INFO)), KEY_HOTFIX_VERSION,
                          version);
}

std::optional<std::string> InstanceService::unreadableInstallInfo() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string path = appendComponent(*_pathToRcphome, INSTALL_INFO);
  if (!fs::entryExists(at(path)) || Properties(at(path)).hasDictionary()) return std::nullopt;
  return path;
}

bool InstanceService::isHotfixApplied() const {
  return getCurrentHotfixVersion().has_value();
}

bool InstanceService::markChangeInProgress(const std::string& operation,
                                           const std::optional<std::string>& manifest) {
  if (!_pathToRcphome) return false;
  std::string text = "operation=" + operation + "\n";
  if (manifest) text += "manifest=" + *manifest + "\n";
  // Made durable with its directory before the change it announces begins.
  return os::replaceFileAtomically(at(appendComponent(*_pathToRcphome, CHANGE_IN_PROGRESS)), text);
}

bool InstanceService::clearChangeInProgress() {
  if (!_pathToRcphome) return false;
  const std::string mark = appendComponent(*_pathToRcphome, CHANGE_IN_PROGRESS);
  if (fs::entryExists(at(mark))) fs::removeItem(at(mark));
  return !fs::entryExists(at(mark));
}

std::optional<std::string> InstanceService::changeInProgress(const char* key) const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string mark = appendComponent(*_pathToRcphome, CHANGE_IN_PROGRESS);
  if (!fs::entryExists(at(mark))) return std::nullopt;
  // A mark that cannot be read still marks a change under way; it names no operation.
  return JavaProperties(at(mark)).getPropertyForKey(key).value_or("");
}

std::optional<std::string> InstanceService::getInstalledTargetVersion() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::optional<std::string> bundle = InstallUtil::getBundlePath(_pathToRcphome);
  if (!bundle) return std::nullopt;
  const std::string infoPlist = appendComponent(appendComponent(*bundle, "Contents"), "Info.plist");
  os::SystemLog::log(os::SystemLog::kInfo, "Get Info.plist: %s", infoPlist.c_str());
  // The bundle is one of the run's roots when the run knows it; otherwise its Info.plist,
  // above the platform home, is only read, as the system reads it.
  if (!fs::exists(place(infoPlist))) return std::nullopt;
  return Properties(place(infoPlist)).getStringForKey("CFBundleShortVersionString");
}

int InstanceService::getProvisioningResult() const {
  if (!_pathToRcphome || !fs::exists(at(os::expandTilde(*_pathToRcphome)))) return -1;
  const std::string resultFile =
      appendComponent(instance_files::platformHomeOf(*_pathToRcphome), PROVISIONING_RC);
  if (!fs::exists(at(resultFile))) return -1;
  const std::optional<int> code = readProvisionResultCode(resultFile);
  if (!code) return -1;
  return *code == 0 || *code == 2 ? 0 : -1;
}

bool InstanceService::removeProvisionRCFile() {
  if (!_pathToRcphome || !fs::exists(at(*_pathToRcphome))) return true;
  const std::string resultFile =
      appendComponent(instance_files::platformHomeOf(*_pathToRcphome), PROVISIONING_RC);
  if (fs::entryExists(at(resultFile))) fs::removeItem(at(resultFile));
  return !fs::entryExists(at(resultFile));
}

std::optional<os::PlistValue> InstanceService::getRegistryInfoForAddon(
    const std::optional<std::string>& addonID) const {
  if (!addonID || !_pathToRcphome) return std::nullopt;
  const std::string path = appendComponent(*_pathToRcphome, ADDON_INFO);
  if (!fs::exists(at(path))) return std::nullopt;
  const Properties registry(at(path));
  const os::PlistArray* entries = addonEntries(registry);
  if (entries == nullptr) return std::nullopt;
  const std::optional<size_t> found = findAddon(*entries, *addonID);
  if (!found) return std::nullopt;
  return (*entries)[*found];
}

std::optional<std::string> InstanceService::getAddonInstalledVersion(
    const std::optional<std::string>& addonID) const {
  const std::optional<os::PlistValue> entry = getRegistryInfoForAddon(addonID);
  if (!entry) return std::nullopt;
  const os::PlistValue* version = entry->find(KEY_VERSION);
  if (version == nullptr || version->asString() == nullptr) return std::nullopt;
  return *version->asString();
}

bool InstanceService::removeRegistryInfoforAddon(const std::optional<std::string>& addonID) {
  if (!addonID || !_pathToRcphome) return false;
  const std::string path = appendComponent(*_pathToRcphome, ADDON_INFO);
  if (!fs::exists(at(path))) return false;
  Properties registry(at(path));
  const os::PlistArray* entries = addonEntries(registry);
  if (entries == nullptr) return false;
  const std::optional<size_t> found = findAddon(*entries, *addonID);
  if (!found) return false;
  os::PlistArray remaining = *entries;
  remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(*found));
  if (!registry.setProperty(os::PlistValue(std::move(remaining)), KEY_ADDONS)) return false;
  return registry.savePropertiesToFile(at(path));
}

}  // namespace rcpinstall
