// InstanceService: launcher and runtime configuration, keystores, extras, ownership repair.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "instance/instance_files.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/directory_loan.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"
#include "os/user_identity.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

constexpr const char* kManifestLocation = "file:/${rcp.home}/rcp/deploy/install.xml";
constexpr const char* kBaseLocationPrefix = "${rcp.home}/rcp/eclipse/plugins/com.zantec.rcp.base_";
constexpr const char* kHomeVariable = "${env.HOME}";
// The record (only root may write it) of the account whose repair of the whole platform tree
// finished last.
constexpr const char* kRepairRecord = "repaired";

// One generated manifest version for both keys, and the base plug-in's location when known.
void setLauncherKeys(JavaProperties& properties, const std::optional<std::string>& baseVersion) {
  const std::string version = InstallUtil::generateNewManifestVersion();
  properties.setProperty(version, InstanceService::KEY_INSTALL_ID);
  properties.setProperty(version, InstanceService::KEY_MANIFEST_VERSION);
  if (baseVersion) {
    properties.setProperty(kBaseLocationPrefix + *baseVersion, InstanceService::KEY_BASE_LOCATION);
  }
}

// The path's components without a trailing "/" component; none when it is relative or holds
// "." or "..", whose real place the text alone does not tell.
std::optional<std::vector<std::string>> plainAbsoluteComponents(const std::string& path) {
  std::vector<std::string> parts = os::components(path);
  if (parts.empty() || parts.front() != "/") return std::nullopt;
  while (parts.size() > 1 && parts.back() == "/") parts.pop_back();
  for (const std::string& part : parts) {
    if (part == "." || part == "..") return std::nullopt;
  }
  return parts;
}

// Whether the directory lies strictly below the anchor, with no symbolic link on the way
// from the anchor down to it (the directory included). The anchor itself must not be "/".
bool liesBelow(const std::string& directory, const std::string& anchor) {
  const auto dirParts = plainAbsoluteComponents(directory);
  const auto anchorParts = plainAbsoluteComponents(anchor);
  if (!dirParts || !anchorParts || anchorParts->size() < 2) return false;
  if (dirParts->size() <= anchorParts->size()) return false;
  for (size_t i = 0; i < anchorParts->size(); ++i) {
    if ((*dirParts)[i] != (*anchorParts)[i]) return false;
  }
  std::string walked = anchor;
  for (size_t i = anchorParts->size(); i < dirParts->size(); ++i) {
    walked = appendComponent(walked, (*dirParts)[i]);
    if (instance_files::isSymbolicLink(walked)) return false;
  }
  return true;
}

fs::Attributes standardAttributes(std::optional<std::string> owner) {
  return fs::Attributes{std::move(owner), std::string(InstallUtil::STANDARD_GROUP),
                        static_cast<mode_t>(InstallUtil::STANDARD_MODE)};
}

}  // namespace

bool InstanceService::updateIgnitorProperties() {
  if (!_pathToRcphome || !fs::isDirectory(at(*_pathToRcphome))) return false;
  const std::string path = appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES);
  if (!fs::exists(at(path))) return false;
  std::optional<JavaProperties> properties = instance_files::loadForRewrite(at(path));
  if (!properties) return false;
  setLauncherKeys(*properties, getBaseVersion());
  return properties->savePropertiesToFile(at(path));
}

bool InstanceService::generateIgnitorPropertiesWithTemplate(
    const std::optional<std::string>& templatePath, const std::optional<std::string>& workspace) {
  if (!_pathToRcphome) return false;
  if (!templatePath || !fs::exists(*templatePath)) {
    os::SystemLog::log(os::SystemLog::kError, "Fail to locate template for ignitor.properties");
    return false;
  }
  const std::string destination = appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES);
  // The template is read once and the filled-in file written once, so the launcher never
  // finds a bare template copy under its name.
  std::optional<JavaProperties> properties = JavaProperties::load(*templatePath);
  if (fs::entryExists(at(destination)) || !properties) {
    os::SystemLog::log(os::SystemLog::kError, "Fail to copy ignitor.properties to %s. ",
                       destination.c_str());
    return false;
  }
  os::SystemLog::log(os::SystemLog::kInfo, "Updating ignitor.properties. ");
  setLauncherKeys(*properties, getBaseVersion());
  properties->setProperty(std::string(kManifestLocation), KEY_MANIFEST);
  if (workspace) properties->setProperty(workspace, KEY_RCP_DATA);
  os::SystemLog::log(os::SystemLog::kInfo, "Saving ignitor.properties. ");
  if (properties->savePropertiesToFile(at(destination))) return true;
  os::SystemLog::log(os::SystemLog::kError, "Fail to copy ignitor.properties to %s. ",
                     destination.c_str());
  return false;
}

bool InstanceService::copyOgsiAgentProperties(const std::optional<std::string>& templatePath) {
  if (!_pathToRcphome) return false;
  if (!templatePath || !fs::exists(*templatePath)) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to find template for osgiagent.properties");
    return false;
  }
  if (!fs::isDirectory(at(*_pathToRcphome))) return false;
  const std::string destination = appendComponent(*_pathToRcphome, OSGI_AGENT_PROPERTIES);
  if (fs::entryExists(at(destination))) return false;
  return instance_files::copyFileContent(*templatePath, at(destination));
}

bool InstanceService::generateJVMPropertiesWithTemplate(
    const std::optional<std::string>& templatePath) {
  if (!_pathToRcphome || !fs::isDirectory(at(*_pathToRcphome))) return false;
  const std::string deploy = appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY);
  if (!fs::entryExists(at(deploy)) &&
      !fs::createDirectory(at(deploy), standardAttributes(os::currentUserName()))) {
    return false;
  }
  const std::string target = appendComponent(deploy, JVM_PROPERTIES);
  if (templatePath && fs::exists(*templatePath)) {
    if (fs::entryExists(at(target))) return false;
    return instance_files::copyFileContent(*templatePath, at(target));
  }
  // Emptied in one step: the file is either the old one or the new empty one.
  if (!os::replaceFileAtomically(at(target), "")) return false;
  return fs::setAttributes(at(target), standardAttributes(os::currentUserName()));
}

bool InstanceService::generateLinks() {
  if (!_pathToRcphome) return false;
  const std::string eclipse = appendComponent(*_pathToRcphome, ECLIPSE_DIRECTORY);
  if (!fs::isDirectory(at(eclipse))) return false;
  const std::string links = appendComponent(eclipse, LINKS_DIRECTORY);
  if (!fs::entryExists(at(links))) {
    const std::optional<std::string> owner = InstallUtil::standardOwner();
    if (!fs::createDirectory(at(links), standardAttributes(owner.value_or("root")))) {
      os::SystemLog::log(os::SystemLog::kWarning, "Not able to create links directory");
      return false;
    }
  }
  const auto writeLink = [&](const char* name, const std::string& value) {
    const std::string path = appendComponent(links, name);
    std::optional<JavaProperties> link = instance_files::loadForRewrite(at(path));
    return link && link->setProperty(value, KEY_LINK_PATH) && link->savePropertiesToFile(at(path));
  };
  const bool rcpLink = writeLink(RCP_LINK, *_pathToRcphome);
  const bool sharedLink =
      writeLink(SHARED_LINK,
                appendComponent(instance_files::platformHomeOf(*_pathToRcphome), SHARED_DIRECTORY));
  return rcpLink && sharedLink;
}

std::vector<std::string> InstanceService::keystoresIn(
    const std::optional<os::Location>& directory) {
  std::vector<std::string> names;
  if (!directory) return names;
  for (const std::string& name :
       fs::listDirectory(*directory).value_or(std::vector<std::string>{})) {
    if (InstallUtil::hasPrefixCaseInsensitive(name, KEYSTORE_PREFIX)) names.push_back(name);
  }
  return names;
}

bool InstanceService::copyKeyStores(const std::optional<std::string>& source) {
  os::SystemLog::log(os::SystemLog::kInfo, ".keystore source files are in %s.",
                     instance_files::textOrNull(source));
  if (!_pathToRcphome) return false;
  const std::string deploy = appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY);
  const std::vector<std::string> old = keystoresIn(at(deploy));
  const std::vector<std::string> incoming = keystoresIn(source);
  // The lines keep the order of the old way (every old name, then every copy), though the
  // new set now goes in first: a name of both sets is replaced in one rename, and the other
  // old names are removed last, so that a cut-off run never leaves deploy without keystores.
  for (const std::string& name : old) {
    os::SystemLog::log(os::SystemLog::kInfo, "Delete existing keystore files '%s' from %s. ",
                       name.c_str(), appendComponent(deploy, name).c_str());
  }
  bool copied = true;
  for (const std::string& name : incoming) {
    const std::string from = appendComponent(*source, name);
    const std::string to = appendComponent(deploy, name);
    if (!instance_files::copyFileContent(from, at(to))) {
      copied = false;
      os::SystemLog::log(os::SystemLog::kError, "Not able to copy keystore file %s to %s",
                         from.c_str(), to.c_str());
    }
    os::SystemLog::log(os::SystemLog::kInfo, "Copy keystore file '%s' from %s to %s.", name.c_str(),
                       from.c_str(), to.c_str());
  }
  if (!copied) return false;
  bool removed = true;
  for (const std::string& name : old) {
    if (std::find(incoming.begin(), incoming.end(), name) != incoming.end()) continue;
    if (!fs::removeItemDurably(at(appendComponent(deploy, name)))) removed = false;
  }
  return removed;
}

bool InstanceService::copyExtras(const std::optional<std::string>& source) {
  if (!source || !fs::isDirectory(*source) || !_pathToRcphome) return true;
  const std::optional<std::vector<std::string>> names = fs::listDirectory(*source);
  if (!names || names->empty()) return true;
  const std::string destination =
      appendComponent(appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY), EXTRAS_DIRECTORY);
  os::SystemLog::log(os::SystemLog::kInfo, "Begin to copy files from %s to %s ", source->c_str(),
                     destination.c_str());
  if (fs::mergeItem(*source, at(destination), fs::Durability::kSynced)) return true;
  os::SystemLog::log(os::SystemLog::kError, "Not able to copy every file from %s to %s",
                     source->c_str(), destination.c_str());
  return false;
}

void InstanceService::handOverTo(uid_t account, const std::string& user) {
  if (os::rootRecord(at(*_pathToRcphome), kRepairRecord) == std::to_string(account)) return;
  updatePermissions(true, true, user);
}

void InstanceService::updatePermissions(bool updatePermissions, bool updateWorkspace,
                                        const std::optional<std::string>& owner) {
  if (!_pathToRcphome) return;
  const std::optional<std::string> name = owner ? owner : InstallUtil::standardOwner();
  if (updatePermissions) {
    // Until the walk has finished, the tree is not known to be right for anyone: a repair
    // stopped half way leaves no record, and the next hand-over walks.
    const bool root = os::isRunningAsRoot();
    if (root) os::removeRootRecord(at(*_pathToRcphome), kRepairRecord);
    bool done = InstallUtil::changeAttributesForDirectory(at(*_pathToRcphome), owner);
    // The shared directory sits beside the rcp home where the product's users can write; a
    // link planted under its name must not turn the repair onto another tree.
    const std::string shared =
        appendComponent(instance_files::platformHomeOf(*_pathToRcphome), SHARED_DIRECTORY);
    if (fs::isDirectory(at(shared)) && !instance_files::isSymbolicLink(at(shared))) {
      done = InstallUtil::changeAttributesForDirectory(at(shared), owner) && done;
    }
    const std::optional<uid_t> uid = name ? os::lookupUserId(*name) : std::nullopt;
    if (root && done && uid)
      os::setRootRecord(at(*_pathToRcphome), kRepairRecord, std::to_string(*uid));
  }
  if (!updateWorkspace) return;
  const std::string ignitorProperties = appendComponent(*_pathToRcphome, IGNITOR_PROPERTIES);
  if (!fs::exists(at(ignitorProperties))) return;
  const std::optional<std::string> data =
      JavaProperties(at(ignitorProperties)).getPropertyForKey(KEY_RCP_DATA);
  const char* home = std::getenv("HOME");
  if (!data || data->empty() || home == nullptr) return;
  const std::string workspace =
      StringUtil::stringByReplacingOccurrencesOfString(*data, kHomeVariable, home);
  if (!fs::isDirectory(workspace)) return;
  // rcp.data comes from a file that the product's users may edit. Inside the product it is
  // repaired as the rest of the product is; the workspace is then reached from a descriptor
  // of the directory it lies in, through no link (the names checked here may be swapped
  // before the walk opens them).
  const std::string platformHome = instance_files::platformHomeOf(*_pathToRcphome);
  if (liesBelow(workspace, platformHome)) {
    if (_roots && _roots->holds(workspace)) {
      InstallUtil::changeAttributesForDirectory(at(workspace), owner);
    }
    return;
  }
  const auto leftAlone = [&](const std::string& why) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not changing the attributes of %s: %s",
                       workspace.c_str(), why.c_str());
  };
  if (!os::isRunningAsRoot()) {
    // Without root powers the walk cannot give anyone a file: the home directory (HOME) is
    // the one other place it is sent to.
    if (!liesBelow(workspace, home)) {
      return leftAlone("it lies outside the home directory and the platform home");
    }
    os::Roots homeRoot;
    if (homeRoot.add(home))
      InstallUtil::changeAttributesForDirectory(homeRoot.at(workspace), owner);
    return;
  }
  // As root, nothing outside the product changes hands: a workspace elsewhere is repaired
  // only when it already belongs to the account the files go to, that account is not root,
  // and it lies in that account's own home directory (from the password database, never from
  // HOME or USER).
  const std::optional<uid_t> uid = name ? os::lookupUserId(*name) : std::nullopt;
  const std::optional<std::string> accountHome = uid ? os::homeDirectoryOfUser(*uid) : std::nullopt;
  if (!uid || *uid == 0) {
    return leftAlone("it lies outside the product, and its files would go to " +
                     name.value_or("no known user"));
  }
  if (!accountHome || !liesBelow(workspace, *accountHome)) {
    return leftAlone("it lies outside the product and outside the home directory of " + *name);
  }
  os::Roots homeRoot;
  if (!homeRoot.add(*accountHome)) return;
  fs::Attributes attributes = standardAttributes(name);
  if (!fs::setAttributesBelowOwnedBy(homeRoot.at(workspace), *uid, attributes) && errno == EPERM) {
    leftAlone("it lies outside the product and does not belong to " + *name);
  }
}

}  // namespace rcpinstall
