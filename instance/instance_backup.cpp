// InstanceService: what an install replaces is kept, and put back when the platform applied
// none of it; what the provisioning run wrote is made durable before the record vouches for it.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
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

constexpr const char* kReplaced = "replaced";
constexpr const char* kAdded = "added";

// What an install is about to change, relative to the rcp home.
struct Changes {
  std::vector<std::string> replaced;
  std::vector<std::string> added;
};

// The backup's number, or none for a name that is no number.
std::optional<unsigned long> numberOf(const std::string& name) {
  if (name.empty() || name.size() > 9 ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::strtoul(name.c_str(), nullptr, 10);
}

// The numbered entries of the backups directory, lowest first.
std::vector<std::pair<unsigned long, std::string>> numberedEntries(const InstanceService& self,
                                                                   const std::string& directory) {
  std::vector<std::pair<unsigned long, std::string>> entries;
  for (const std::string& name :
       fs::listDirectory(self.at(directory)).value_or(std::vector<std::string>{})) {
    if (const std::optional<unsigned long> number = numberOf(name))
      entries.emplace_back(*number, name);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// What merging the source tree into the destination replaces and adds, as mergeItem merges:
// a name missing in the destination is added whole, a directory of both is walked, a file of
// the source replaces whatever the destination has there, and a file or link where the
// source has a directory is left alone.
void mergeChanges(const InstanceService& self, const std::string& source,
                  const std::string& destination, const std::string& relative, Changes& changes) {
  if (!fs::entryExists(self.at(destination))) {
    changes.added.push_back(relative);
    return;
  }
  std::vector<std::string> names = fs::listDirectory(source).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string from = appendComponent(source, name);
    const std::string to = appendComponent(destination, name);
    const std::string below = appendComponent(relative, name);
    const bool sourceIsDirectory = fs::isDirectory(from);
    if (!fs::entryExists(self.at(to))) {
      changes.added.push_back(below);
    } else if (!sourceIsDirectory) {
      changes.replaced.push_back(below);
    } else if (fs::isDirectory(self.at(to)) && !instance_files::isSymbolicLink(self.at(to))) {
      mergeChanges(self, from, to, below, changes);
    }
  }
}

std::string serialize(const Changes& changes) {
  std::string text;
  for (const std::string& path : changes.replaced)
    text += std::string(kReplaced) + "\t" + path + "\n";
  for (const std::string& path : changes.added) text += std::string(kAdded) + "\t" + path + "\n";
  return text;
}

std::optional<Changes> parseChanges(const std::string& text) {
  Changes changes;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return std::nullopt;
    const std::string kind = line.substr(0, tab);
    std::string path = line.substr(tab + 1);
    // Only names below the rcp home: a list that would lead elsewhere is no list of ours.
    if (path.empty() || path.starts_with("/") || path == ".." || path.starts_with("../") ||
        path.find("/../") != std::string::npos || path.ends_with("/..")) {
      return std::nullopt;
    }
    if (kind == kReplaced) {
      changes.replaced.push_back(std::move(path));
    } else if (kind == kAdded) {
      changes.added.push_back(std::move(path));
    } else {
      return std::nullopt;
    }
  }
  return changes;
}

// Creates the directories of a relative path below the base, each 0700 (the repair gives
// them the standard attributes afterwards).
bool makeDirectoriesBelow(const InstanceService& self, const std::string& base,
                          const std::string& relative) {
  std::string path = base;
  for (const std::string& part : os::components(relative)) {
    path = appendComponent(path, part);
    if (fs::isDirectory(self.at(path)) && !instance_files::isSymbolicLink(self.at(path))) continue;
    if (!fs::createDirectory(self.at(path), fs::Attributes{std::nullopt, std::nullopt, 0700}))
      return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> InstanceService::keepWhatInstallReplaces(
    const std::optional<std::string>& customization, const std::optional<std::string>& keystores,
    const std::optional<std::string>& extras) {
  if (!_pathToRcphome || !fs::isDirectory(at(*_pathToRcphome))) return std::nullopt;
  const std::string& home = *_pathToRcphome;
  const std::string deploy = appendComponent(home, DEPLOY_DIRECTORY);

  Changes changes;
  if (customization && fs::exists(*customization)) {
    (fs::entryExists(at(appendComponent(home, PLUGIN_CUSTOMIZATION))) ? changes.replaced
                                                                      : changes.added)
        .push_back(PLUGIN_CUSTOMIZATION);
  }
  // The whole keystore set is replaced: every old one is kept, the new names are added.
  const std::vector<std::string> old = keystoresIn(at(deploy));
  for (const std::string& name : old) {
    changes.replaced.push_back(appendComponent(DEPLOY_DIRECTORY, name));
  }
  for (const std::string& name : keystoresIn(keystores)) {
    if (std::find(old.begin(), old.end(), name) == old.end()) {
      changes.added.push_back(appendComponent(DEPLOY_DIRECTORY, name));
    }
  }
  if (extras && fs::isDirectory(*extras) &&
      !fs::listDirectory(*extras).value_or(std::vector<std::string>{}).empty()) {
    mergeChanges(*this, *extras, appendComponent(deploy, EXTRAS_DIRECTORY),
                 appendComponent(DEPLOY_DIRECTORY, EXTRAS_DIRECTORY), changes);
  }
  for (const std::vector<std::string>* list : {&changes.replaced, &changes.added}) {
    for (const std::string& path : *list) {
      if (path.find('\n') != std::string::npos) {
        os::SystemLog::log(os::SystemLog::kError,
                           "Not keeping what the install replaces: a name holds a line break");
        return std::nullopt;
      }
    }
  }

  const std::string backups = appendComponent(home, INSTALL_BACKUPS_DIRECTORY);
  if (!fs::entryExists(at(backups)) &&
      !fs::createDirectory(at(backups), fs::Attributes{std::nullopt, std::nullopt, 0700})) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to create %s", backups.c_str());
    return std::nullopt;
  }
  // A numbered directory without its list is what a killed run began: it vouches for nothing.
  unsigned long next = 1;
  for (const auto& [number, name] : numberedEntries(*this, backups)) {
    const std::string path = appendComponent(backups, name);
    if (!fs::entryExists(at(appendComponent(path, INSTALL_BACKUP_CHANGES)))) {
      fs::removeItem(at(path));
    } else {
      next = number + 1;
    }
  }
  const std::string backup = appendComponent(backups, std::to_string(next));
  const auto failed = [&](const std::string& what) -> std::optional<std::string> {
    os::SystemLog::log(os::SystemLog::kError, "Not able to keep %s in %s", what.c_str(),
                       backup.c_str());
    if (fs::entryExists(at(backup))) fs::removeItem(at(backup));
    return std::nullopt;
  };
  if (!fs::createDirectory(at(backup), fs::Attributes{std::nullopt, std::nullopt, 0700})) {
    return failed("what the install replaces");
  }
  const std::string files = appendComponent(backup, INSTALL_BACKUP_FILES);
  for (const std::string& path : changes.replaced) {
    const std::string kept = appendComponent(files, path);
    if (!makeDirectoriesBelow(*this, backup, INSTALL_BACKUP_FILES) ||
        !makeDirectoriesBelow(*this, files, os::deletingLastComponent(path)) ||
        !fs::copyItem(at(appendComponent(home, path)), at(kept))) {
      return failed(path);
    }
  }
  // Every kept file and directory is on the disk before the list says the backup is whole,
  // and the list before anything is replaced.
  if (!fs::syncFileSystemOf(at(backup)) ||
      !os::replaceFileAtomically(at(appendComponent(backup, INSTALL_BACKUP_CHANGES)),
                                 serialize(changes))) {
    return failed("the list of changes");
  }
  const auto entries = numberedEntries(*this, backups);
  for (size_t i = 0; i + INSTALL_BACKUPS_KEPT < entries.size(); ++i) {
    fs::removeItemDurably(at(appendComponent(backups, entries[i].second)));
  }
  os::SystemLog::log(os::SystemLog::kInfo, "Kept what the install replaces in %s", backup.c_str());
  return backup;
}

std::vector<InstanceService::InstallBackup> InstanceService::installBackups() const {
  std::vector<InstallBackup> found;
  if (!_pathToRcphome) return found;
  const std::string backups = appendComponent(*_pathToRcphome, INSTALL_BACKUPS_DIRECTORY);
  for (const auto& [number, name] : numberedEntries(*this, backups)) {
    const std::string path = appendComponent(backups, name);
    const std::string list = appendComponent(path, INSTALL_BACKUP_CHANGES);
    const os::LimitedRead text = os::readRegularFileAtMost(at(list), 1 << 20);
    if (!text.contents) continue;
    const std::optional<Changes> changes = parseChanges(*text.contents);
    if (!changes) continue;
    InstallBackup backup{name, path, changes->replaced, changes->added, 0};
    if (const std::optional<fs::EntryAttributes> attributes = fs::entryAttributes(at(list))) {
      backup.made = attributes->modified;
    }
    found.push_back(std::move(backup));
  }
  return found;
}

std::optional<bool> InstanceService::updateManifestApplied() const {
  if (!_pathToRcphome) return std::nullopt;
  const std::string deploy = appendComponent(*_pathToRcphome, DEPLOY_DIRECTORY);
  const InstallManifest update(at(appendComponent(deploy, UPDATE_MANIFEST)));
  const InstallManifest installed(at(appendComponent(deploy, INSTALL_MANIFEST)));
  if (!update.hasDocument() || !installed.hasDocument()) return std::nullopt;
  for (const auto& [id, version] : update.installedFeatures()) {
    if (installed.checkInstalledFeature(id, std::nullopt) == version) return true;
  }
  return false;
}

bool InstanceService::restoreUnappliedInstall(const std::string& backup) {
  if (!_pathToRcphome) return false;
  const std::optional<bool> applied = updateManifestApplied();
  if (applied != false) {
    // The applied features may need the hotfix's files; what they replaced stays kept.
    os::SystemLog::log(os::SystemLog::kWarning,
                       applied ? "The platform applied part of the hotfix: its files stay; what "
                                 "they replaced is kept in %s"
                               : "Cannot tell what the platform applied: the hotfix's files "
                                 "stay; what they replaced is kept in %s",
                       backup.c_str());
    return false;
  }
  const std::optional<std::string> text =
      os::readWholeFile(at(appendComponent(backup, INSTALL_BACKUP_CHANGES)));
  const std::optional<Changes> changes = text ? parseChanges(*text) : std::nullopt;
  if (!changes) {
    os::SystemLog::log(os::SystemLog::kError, "No usable list of changes in %s", backup.c_str());
    return false;
  }
  const std::string& home = *_pathToRcphome;
  bool restored = true;
  for (const std::string& path : changes->added) {
    const std::string target = appendComponent(home, path);
    if (fs::entryExists(at(target)) && !fs::removeItemDurably(at(target))) restored = false;
  }
  for (const std::string& path : changes->replaced) {
    const std::string kept = appendComponent(appendComponent(backup, INSTALL_BACKUP_FILES), path);
    const std::string target = appendComponent(home, path);
    const std::optional<fs::EntryAttributes> attributes = fs::entryAttributes(at(kept));
    const bool keptIsFile = attributes && !attributes->isLink && !fs::isDirectory(at(kept));
    const bool targetIsFile = fs::entryExists(at(target)) && !fs::isDirectory(at(target)) &&
                              !instance_files::isSymbolicLink(at(target));
    if (keptIsFile && (targetIsFile || !fs::entryExists(at(target)))) {
      // A file takes its place again in one rename, with the mode it had.
      const std::optional<std::string> bytes =
          os::readRegularFile(at(kept), os::FinalLink::kRefuse);
      os::ReplacementAttributes mode;
      mode.mode = static_cast<mode_t>(attributes->mode & 07777);
      if (!bytes || !os::replaceFileAtomically(at(target), *bytes, mode)) restored = false;
      continue;
    }
    if (fs::entryExists(at(target)) && !fs::removeItemDurably(at(target))) restored = false;
    if (!fs::copyItem(at(kept), at(target), fs::Durability::kSynced)) restored = false;
  }
  if (restored) {
    os::SystemLog::log(os::SystemLog::kInfo,
                       "The platform applied nothing of the hotfix: put back what the install "
                       "replaced from %s",
                       backup.c_str());
  } else {
    os::SystemLog::log(os::SystemLog::kError, "Not able to put back everything kept in %s",
                       backup.c_str());
  }
  return restored;
}

bool InstanceService::makeProvisioningDurable() {
  if (!_pathToRcphome) return false;
  if (fs::syncFileSystemOf(at(*_pathToRcphome))) return true;
  os::SystemLog::log(os::SystemLog::kError, "Not able to make what was written below %s durable",
                     _pathToRcphome->c_str());
  return false;
}

}  // namespace rcpinstall
