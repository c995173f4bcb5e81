// InstanceService: everything done to one installed platform instance, found by its rcp home.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/provisioning_result_file.h"
#include "os/plist_value.h"
#include "os/root.h"

namespace rcpinstall {

// The object keeps only the rcp home and the run's roots; every operation reads its files
// afresh, through the roots (no link below the product is ever followed). An instance
// created for a path that did not exist answers every query with its empty value (no, none,
// -1) and changes no file. Files rewritten here are replaced atomically and keep their mode
// (and, as root, their owner and group).
//
// Operations whose outcome the workflows do not need still answer whether their write took
// place (true/false), so that a caller that cares can tell a failed write from a done one.
class InstanceService {
 public:
  // Names inside the rcp home and beside it (the platform home is the rcp home's parent).
  static constexpr const char* LAUNCHER = "ignitor";
  static constexpr const char* DEPLOY_DIRECTORY = "deploy";
  static constexpr const char* ECLIPSE_DIRECTORY = "eclipse";
  static constexpr const char* PLUGINS_DIRECTORY = "plugins";
  static constexpr const char* LINKS_DIRECTORY = "links";
  static constexpr const char* SHARED_DIRECTORY = "shared";
  static constexpr const char* EXTRAS_DIRECTORY = "extras";
  static constexpr const char* INSTALL_MANIFEST = "install.xml";
  static constexpr const char* UPDATE_MANIFEST = "install.update.xml";
  static constexpr const char* PATCH_REMOVE_MANIFEST = "uninstall.hotfix.xml";
  static constexpr const char* INSTALL_INFO = "installInfo.plist";
  static constexpr const char* ADDON_INFO = "addonInfo.plist";
  static constexpr const char* PROVISIONING_RC = PROVISION_RC_FILE;
  static constexpr const char* IGNITOR_PROPERTIES = "ignitor.properties";
  static constexpr const char* OSGI_AGENT_PROPERTIES = "osgiagent.properties";
  static constexpr const char* JVM_PROPERTIES = "jvm.properties";
  static constexpr const char* PLUGIN_CUSTOMIZATION = "plugin_customization.ini";
  static constexpr const char* RCP_LINK = "rcp.link";
  static constexpr const char* SHARED_LINK = "shared.link";
  static constexpr const char* BASE_PLUGIN_PREFIX = "com.zantec.rcp.base_";
  static constexpr const char* KEYSTORE_PREFIX = ".keystore";
  // The mark of an install or removal under way, in the rcp home.
  static constexpr const char* CHANGE_IN_PROGRESS = ".hotfix-change-in-progress";
  static constexpr const char* INSTALL_OPERATION = "install";
  static constexpr const char* REMOVAL_OPERATION = "removal";
  // What installs replaced: one numbered directory per install, outside deploy (whose
  // .keystore* names are all keystores to the platform), holding the replaced files below
  // "files" at their places relative to the rcp home, and the list "changes" of what was
  // replaced and what was added, written last.
  static constexpr const char* INSTALL_BACKUPS_DIRECTORY = "hotfix-backups";
  static constexpr const char* INSTALL_BACKUP_FILES = "files";
  static constexpr const char* INSTALL_BACKUP_CHANGES = "changes";
  static constexpr size_t INSTALL_BACKUPS_KEPT = 3;

  // Keys of installInfo.plist, addonInfo.plist, .provisioning_rc and ignitor.properties.
  static constexpr const char* KEY_VERSION = "version";
  static constexpr const char* KEY_HOTFIX_VERSION = "hotfixVersion";
  static constexpr const char* KEY_ADDONS = "addons";
  static constexpr const char* KEY_ADDON_ID = "ID";
  static constexpr const char* KEY_RC = KEY_OF_PROVISION_RESULT;
  static constexpr const char* KEY_MANIFEST_VERSION = "provisioning.manifest.version";
  static constexpr const char* KEY_INSTALL_ID = "rcp.install.id";
  static constexpr const char* KEY_MANIFEST = "provisioning.manifest";
  static constexpr const char* KEY_BASE_LOCATION = "rcp.base.location";
  static constexpr const char* KEY_RCP_DATA = "rcp.data";
  static constexpr const char* KEY_LINK_PATH = "path";

  // The platform launcher, by an absolute path inside the rcp home; none without an rcp home
  // (so that no relative name is ever resolved against a root process's working directory).
  std::optional<std::string> launcherPath() const;
  // Starts the launcher with the arguments and waits for it. As root, when someone other
  // than root can change the launcher or the tree it lies in, it runs as the account
  // os::identityToRun names. What the run writes is given to that account first (no walk when
  // the record of the last finished repair names it), and for the length of the run that
  // account may add entries to the platform home, which stays root's (os/directory_loan.h), so
  // that the run can leave its result there.
  // The answer is os::runAndWait's (-1: not started).
  int runLauncher(const std::vector<std::string>& arguments);
  // Opens the application bundle (when known), the platform home and the rcp home as the roots
  // of a run: the tools reach the product tree only from these descriptors, through no link
  // (os/root.h). None when one of them could not be opened: the product is then not to be
  // worked on at all (the system log says so).
  // With `asFound`, roots that follow links (os::Roots::followingLinks): for a product that
  // is only read (a rehearsal reads the original and works on a copy).
  static std::shared_ptr<const os::Roots> openProductRoots(const std::optional<std::string>& bundle,
                                                           const std::string& rcphome,
                                                           bool asFound = false);

  // The rcp home is kept only when rcpHomeExists says so now (no "~" expansion). The instance
  // works through the run's roots; without them it opens its own (the platform home and the
  // rcp home), and one whose roots cannot be opened changes nothing.
  explicit InstanceService(const std::optional<std::string>& pathToRcphome);
  InstanceService(std::shared_ptr<const os::Roots> roots,
                  const std::optional<std::string>& pathToRcphome);
  // Whether something exists at the path, links followed: the one test of every holder of an
  // rcp home, so that a removal never holds one that its instance does not.
  static bool rcpHomeExists(const std::string& path);

  std::optional<std::string> pathToRcphome() const { return _pathToRcphome; }
  // The roots the instance works through (none for an rcp home that does not exist), and the
  // location of a path below them for the services of os/ (refused outside them).
  const std::shared_ptr<const os::Roots>& roots() const { return _roots; }
  os::Location at(const std::string& path) const;
  // A source the caller names (a manifest, a template, a package's files): through the roots
  // when it lies below them, else the plain path.
  os::Location place(const std::string& path) const;

  // --- Records and versions -------------------------------------------------------------

  // Whether deploy/install.xml exists.
  bool hasInstanceInstalled() const;
  // The greatest (by plain text comparison) version among eclipse/plugins entries named
  // com.zantec.rcp.base_<version>[_...].
  std::optional<std::string> getBaseVersion() const;

  std::optional<std::string> getInstalledVersion() const;
  // Stores "version" in installInfo.plist (created when missing). None does nothing. False
  // when nothing was written (no rcp home, a record that is not a dictionary, failed write).
  bool setInstalledVersion(const std::optional<std::string>& version);
  // The recorded hotfix version; a record that is not text holds none.
  std::optional<std::string> getCurrentHotfixVersion() const;
  // Stores "hotfixVersion", or removes it when given none. Answers as setInstalledVersion.
  bool updateHotfixVersion(const std::optional<std::string>& version);
  // The path of installInfo.plist when it exists but cannot be read as a dictionary.
  std::optional<std::string> unreadableInstallInfo() const;
  // Whether getCurrentHotfixVersion has a version.
  bool isHotfixApplied() const;

  // The mark of a change under way: written (and made durable) before an install's or a
  // removal's first change to the instance and removed after its last, so that a run cut off
  // in between leaves a mark that says the instance may be half-installed. It names the
  // operation ("install" or "removal") and, for a removal, its removal manifest. False when
  // the mark could not be written or removed.
  bool markChangeInProgress(const std::string& operation,
                            const std::optional<std::string>& manifest = std::nullopt);
  bool clearChangeInProgress();
  // What the mark names (key "operation", "manifest"); none without a mark.
  std::optional<std::string> changeInProgress(const char* key = "operation") const;

  // CFBundleShortVersionString of the enclosing application bundle's Info.plist.
  std::optional<std::string> getInstalledTargetVersion() const;

  // 0 when the last provisioning run left "rc" 0 or 2 in .provisioning_rc; -1 for any other
  // code, for a value that is not a number, and when there is no file or no "rc".
  int getProvisioningResult() const;
  // Deletes .provisioning_rc. True when no result file is left (none was there, or it was
  // deleted); false when one remains, so that a stale result is never taken for a new one.
  bool removeProvisionRCFile();

  // The first "addons" entry of addonInfo.plist whose "ID" equals the identifier.
  std::optional<os::PlistValue> getRegistryInfoForAddon(
      const std::optional<std::string>& addonID) const;
  std::optional<std::string> getAddonInstalledVersion(
      const std::optional<std::string>& addonID) const;
  // Rewrites addonInfo.plist without the first entry whose "ID" equals the identifier; all
  // other keys and entries are kept. True when an entry was removed and the file written.
  bool removeRegistryInfoforAddon(const std::optional<std::string>& addonID);

  // --- Manifest staging -----------------------------------------------------------------

  // What staging a manifest came to. kSourceUnusable: the source is missing or cannot be
  // read, or (with an installer root to put in) its copy is no manifest. kNotWritten:
  // deploy/<toFile> could not be written (no rcp home or deploy directory, a name that is no
  // plain file name, no right to write, a full disk).
  enum class Staging { kStaged, kSourceUnusable, kNotWritten };
  // Copies the manifest to deploy/<toFile> (replacing what was there) and, when the
  // installer root exists, replaces "${installer.root}" in the features' "url" values with
  // "file:" + installer root.
  Staging stageManifest(const std::optional<std::string>& source,
                        const std::optional<std::string>& toFile,
                        const std::optional<std::string>& replaceInstallerRootWith);
  // The same; true when the staged file is complete.
  bool copyInstallManifest(const std::optional<std::string>& source,
                           const std::optional<std::string>& toFile,
                           const std::optional<std::string>& replaceInstallerRootWith);
  // The same, staged as deploy/install.xml. The installer root comes wrapped, so that a
  // two-argument call can never pass a file name where the root is meant.
  struct InstallerRoot {
    explicit InstallerRoot(std::optional<std::string> root = std::nullopt)
        : path(std::move(root)) {}
    std::optional<std::string> path;
  };
  bool copyInstallManifest(const std::optional<std::string>& source,
                           const InstallerRoot& replaceInstallerRootWith);
  // The same, staged as deploy/install.update.xml.
  bool copyUpdateManifest(const std::optional<std::string>& source,
                          const std::optional<std::string>& replaceInstallerRootWith);
  // The same under the source's own file name, with no installer root.
  bool copyManifest(const std::optional<std::string>& source);
  // Copies the removal manifest to deploy/uninstall.hotfix.xml (replacing what was there).
  bool copyPatchRemoveManifest(const std::optional<std::string>& source);

  // Copies deploy/install.xml to deploy/install.<provisioning.manifest.version, else
  // "old">.xml; an existing backup of that name is kept. Needs ignitor.properties.
  void backupInstallManifest();
  // deploy/install.<version>.xml, the name backupInstallManifest gives the backup now; none
  // without ignitor.properties (then nothing is backed up).
  std::optional<std::string> installManifestBackupPath() const;
  // The keystore files (.keystore*) directly in a directory, as copyKeyStores finds them.
  static std::vector<std::string> keystoresIn(const std::optional<os::Location>& directory);
  // Set one key of an existing ignitor.properties (never created here). False when nothing
  // was written.
  bool updateProvisionManifestVersion(const std::optional<std::string>& version);
  bool updateInstallID(const std::optional<std::string>& installID);

  // Merges the file's keys into the rcp home's plugin_customization.ini (copied there when
  // the rcp home has none yet).
  bool mergePluginCustomizationWithRcphome(const std::optional<std::string>& path);
  // Merges the file's keys into the base plug-in's plugin_customization.ini and writes the
  // result there and as the rcp home's plugin_customization.ini.
  bool mergePluginCustomizationWithBase(const std::optional<std::string>& path);

  // --- Launcher and runtime configuration -----------------------------------------------

  // Refreshes the manifest version, install id and base location of ignitor.properties.
  bool updateIgnitorProperties();
  // Creates ignitor.properties from a template (never over an existing one) and fills in the
  // launcher keys; rcp.data is set when a workspace is given.
  bool generateIgnitorPropertiesWithTemplate(const std::optional<std::string>& templatePath,
                                             const std::optional<std::string>& workspace);
  // Copies the template to osgiagent.properties (never over an existing one).
  bool copyOgsiAgentProperties(const std::optional<std::string>& templatePath);
  // Copies the template to deploy/jvm.properties (never over an existing one), or without one
  // makes that file empty, owned by the process's user with group "admin" and mode 0775.
  bool generateJVMPropertiesWithTemplate(const std::optional<std::string>& templatePath);
  // Writes eclipse/links/rcp.link and shared.link.
  bool generateLinks();
  // Replaces the keystore files (.keystore*) of deploy with those of the source directory:
  // each new one is written whole and synced under its name, and the old names that are not
  // in the new set are removed only after all of them are in place (none when a copy failed,
  // so that the instance is never left without its keystores). False when a copy or removal
  // failed.
  bool copyKeyStores(const std::optional<std::string>& source);
  // Merges the source tree into deploy/extras, each file synced and renamed into place and
  // each directory changed synced. False when something could not be merged.
  bool copyExtras(const std::optional<std::string>& source);

  // --- What an install replaces ---------------------------------------------------------

  // One kept backup of what an install replaced, by its number (the newest is the highest).
  struct InstallBackup {
    std::string name;
    std::string path;
    std::vector<std::string> replaced;  // relative to the rcp home, kept below "files"
    std::vector<std::string> added;     // relative to the rcp home
    long long made = 0;                 // seconds since 1970-01-01 UTC
  };
  // Keeps what merging the customization file, replacing the keystores with those of the
  // keystore directory and merging the extras directory will replace, and lists what they
  // will add, in a new backup directory made durable before the answer; older backups beyond
  // the newest INSTALL_BACKUPS_KEPT go, and so do incomplete ones a killed run left. Its path;
  // none when it could not be made whole (nothing of it is left then).
  std::optional<std::string> keepWhatInstallReplaces(
      const std::optional<std::string>& customization, const std::optional<std::string>& keystores,
      const std::optional<std::string>& extras);
  // The complete backups, oldest first.
  std::vector<InstallBackup> installBackups() const;
  // Whether deploy/install.xml records an install feature of deploy/install.update.xml at the
  // version the update installs; none when either cannot be read.
  std::optional<bool> updateManifestApplied() const;
  // After a failed provisioning run of an install: when the platform applied nothing of the
  // update manifest, puts the backup's files back as they were and removes what the install
  // added (durably). True when the files were put back.
  bool restoreUnappliedInstall(const std::string& backup);
  // Makes what the provisioning run and the staging wrote durable before the version record
  // vouches for it (the rcp home's whole file system is synced). False, logged, on failure.
  bool makeProvisioningDurable();
  // Gives the rcp home and the platform's shared directory (first flag) and the workspace
  // named by rcp.data (second flag) the standard owner, group "admin" and mode 0775. A
  // workspace below the platform home is repaired with the product. Elsewhere, as root, only
  // one that already belongs to the owner, who is not root, in the owner's own home directory
  // (password database); without root powers, one below HOME. What is left alone is logged.
  // `owner` takes the place of the standard owner (the launcher's account before its run).
  // A finished repair of the whole tree is recorded where only root may write.
  void updatePermissions(bool updatePermissions, bool updateWorkspace,
                         const std::optional<std::string>& owner = std::nullopt);

 private:
  // Gives the platform's files and the workspace to the launcher's account, unless the last
  // finished repair already gave them to it (no walk then).
  void handOverTo(uid_t account, const std::string& user);

  std::optional<std::string> _pathToRcphome;
  std::shared_ptr<const os::Roots> _roots;
};

}  // namespace rcpinstall
