// hotfixcheck: reading files within the size cap, and the package as a tree (links that lead
// out of it, entries that are no files), shared by lint and plan.
#include <filesystem>
#include <system_error>

#include "apply/hotfix.h"
#include "hotfixcheck/hotfix_check.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/user_identity.h"

namespace rcpinstall::HotfixCheck {

namespace fs = os::FileSystem;
namespace stdfs = std::filesystem;

std::string lexicalPath(const stdfs::path& path) {
  std::error_code error;
  std::string text = stdfs::absolute(path, error).lexically_normal().string();
  while (text.size() > 1 && text.ends_with('/')) text.pop_back();
  return text;
}

namespace {

bool within(const std::string& path, const std::string& directory) {
  return path == directory || path.starts_with(directory == "/" ? directory : directory + "/");
}

// Where a link leads: its real path when it resolves, else its target read as text.
std::string targetOf(const stdfs::path& link) {
  std::error_code error;
  const stdfs::path real = stdfs::canonical(link, error);
  if (!error) return real.string();
  const stdfs::path target = stdfs::read_symlink(link, error);
  if (target.is_absolute()) return lexicalPath(target);
  const stdfs::path parent = stdfs::canonical(link.parent_path(), error);
  return lexicalPath((error ? link.parent_path() : parent) / target);
}

// The distribution's own real path, so that a link's real target can be compared with it.
std::string realDistribution(const std::string& distribution) {
  return fs::resolvedPath(distribution).value_or(lexicalPath(distribution));
}

std::string describe(const stdfs::file_type type) {
  switch (type) {
    case stdfs::file_type::fifo:
      return "a FIFO";
    case stdfs::file_type::block:
      return "a block device";
    case stdfs::file_type::character:
      return "a character device";
    case stdfs::file_type::socket:
      return "a socket";
    default:
      return "";
  }
}

}  // namespace

FileText readCapped(const os::Location& path) {
  FileText result;
  os::LimitedRead read = os::readRegularFileAtMost(path, MAX_FILE_SIZE);
  result.text = std::move(read.contents);
  result.tooLarge = read.tooLarge;
  if (!result.text) {
    result.reason = (read.tooLarge ? std::string("larger than ") + MAX_FILE_SIZE_TEXT +
                                         ", the most hotfixcheck reads of a file"
                                   : read.reason);
  }
  return result;
}

std::optional<std::string> firstOversized(const std::vector<os::Location>& paths) {
  for (const os::Location& path : paths) {
    // The entry itself: a link is no file the tools read.
    const std::optional<os::FileSystem::EntryAttributes> entry =
        os::FileSystem::entryAttributes(path);
    if (entry && !entry->isLink && static_cast<std::uintmax_t>(entry->size) > MAX_FILE_SIZE) {
      return path.path() + " is larger than " + MAX_FILE_SIZE_TEXT +
             ", the most hotfixcheck reads of a file";
    }
  }
  return std::nullopt;
}

std::string distributionOf(const std::string& package) {
  const std::string path = lexicalPath(package);
  for (std::string at = path; at.size() > 1; at = os::deletingLastComponent(at)) {
    if (os::lastComponent(at).ends_with(".mpkg")) return at;
  }
  return os::deletingLastComponent(path);
}

std::optional<std::string> linkOutOf(const std::string& path, const std::string& distribution) {
  std::error_code error;
  const std::string top = lexicalPath(distribution);
  const std::string full = lexicalPath(path);
  if (!within(full, top)) return std::nullopt;
  const std::string real = realDistribution(top);
  std::string at = top;
  for (const std::string& part : os::components(full.substr(top.size()))) {
    if (part == "/") continue;
    at = os::appendComponent(at, part);
    if (!stdfs::is_symlink(stdfs::symlink_status(at, error))) continue;
    const std::string target = targetOf(at);
    if (!within(target, real)) return target;
  }
  return std::nullopt;
}

std::vector<UnusualEntry> unusualEntries(const std::string& directory,
                                         const std::string& distribution) {
  std::vector<UnusualEntry> found;
  const std::string real = realDistribution(distribution);
  std::error_code error;
  for (auto it = stdfs::recursive_directory_iterator(
           directory, stdfs::directory_options::skip_permission_denied, error);
       !error && it != stdfs::recursive_directory_iterator(); it.increment(error)) {
    const stdfs::file_status status = it->symlink_status(error);
    if (error) break;
    if (stdfs::is_symlink(status)) {
      const std::string target = targetOf(it->path());
      if (!within(target, real)) found.push_back({it->path().string(), target, "a symbolic link"});
    } else if (const std::string what = describe(status.type()); !what.empty()) {
      found.push_back({it->path().string(), std::nullopt, what});
    }
  }
  return found;
}

std::optional<std::string> unreadableForInstall(const std::string& path) {
  const os::LimitedRead read = os::readRegularFileAtMost(path, MAX_FILE_SIZE);
  if (read.contents || read.tooLarge) return std::nullopt;
  if ((read.error == EACCES || read.error == EPERM) && !os::isRunningAsRoot()) return std::nullopt;
  return read.reason;
}

void noteLinksOutOfPackage(const std::string& package, std::vector<PlannedStep>& steps) {
  const std::string distribution = distributionOf(package);
  for (PlannedStep& step : steps) {
    if (!step.source) continue;
    const std::string& source = *step.source;
    const bool extras = os::lastComponent(step.path) == InstanceService::EXTRAS_DIRECTORY;
    std::vector<std::string> notes;
    if (const std::optional<std::string> target = linkOutOf(source, distribution)) {
      const std::string link = source + " leads to " + *target + ", outside the package: ";
      if (extras && fs::entryExists(step.path)) {
        notes.push_back(link + "the install merges what is there into the product");
      } else if (extras || step.action == "replace") {
        notes.push_back(link + "the install puts that link itself into the product");
      } else {
        notes.push_back(link + "the install reads what is there");
      }
    }
    // Links inside the extras matter where the install merges them, not where it puts the
    // link to the whole tree in place.
    if (extras && fs::isDirectory(source) && (notes.empty() || fs::entryExists(step.path))) {
      for (const UnusualEntry& entry : unusualEntries(source, distribution)) {
        if (entry.linkTarget) {
          notes.push_back(entry.path + " leads to " + *entry.linkTarget +
                          ", outside the package: the install puts that link itself into the "
                          "product");
        }
      }
    }
    for (const std::string& note : notes) step.note += (step.note.empty() ? "" : "; ") + note;
  }
}

std::optional<std::string> oversizedPlanInput(const std::string& package,
                                              const std::string& destination,
                                              const std::string& registerDirectory) {
  if (std::optional<std::string> settings = firstOversized({settingsFilePath(package)})) {
    return settings;
  }
  const std::optional<os::PlistValue> settings = readSettings(package);
  if (!settings) return std::nullopt;
  std::vector<os::Location> files;
  if (const std::optional<std::string> name = settingsString(*settings, KEY_BUNDLE_NAME)) {
    files.push_back(
        os::appendComponent(os::appendComponent(registerDirectory, *name), REGISTER_FILE_NAME));
  }
  if (std::optional<std::string> registry = firstOversized(files)) return registry;
  files.clear();
  const InstallTarget target = resolveInstallTarget(package, destination, registerDirectory);
  if (target.productBundle) {
    const std::string rcpHome = rcpHomeOf(*target.productBundle, *settings);
    files.push_back(os::appendComponent(rcpHome, InstanceService::INSTALL_INFO));
    files.push_back(os::appendComponent(rcpHome, InstanceService::IGNITOR_PROPERTIES));
  }
  const Hotfix hotfix(package, std::nullopt);
  if (hotfix.preference()) {
    for (const char* key : {KEY_HOTFIX_MANIFEST, KEY_PATCH_REMOVE_MANIFEST}) {
      if (std::optional<std::string> path = settingsString(*hotfix.preference(), key)) {
        files.push_back(*path);
      }
    }
  }
  return firstOversized(files);
}

}  // namespace rcpinstall::HotfixCheck
