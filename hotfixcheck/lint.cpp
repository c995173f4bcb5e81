// hotfixcheck lint: the faults of a package that would make its install or removal go wrong.
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <set>
#include <string_view>
#include <system_error>

#include "apply/hotfix.h"
#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/plist_value.h"

namespace rcpinstall::HotfixCheck {

namespace fs = os::FileSystem;

namespace {

constexpr const char* kError = "error";
constexpr const char* kWarning = "warning";

std::optional<std::string> attributeOf(const pugi::xml_node& node, const char* name) {
  const pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute) return std::nullopt;
  return std::string(attribute.value());
}

Feature featureOf(const pugi::xml_node& node) {
  return {node.attribute("id").value(), node.attribute("version").value(),
          attributeOf(node, "action"), attributeOf(node, "url")};
}

std::string describe(const Feature& feature) {
  return feature.id + " " + feature.version;
}

class Lint {
 public:
  explicit Lint(LintReport& report) : report_(report) {}

  void add(const char* severity, const char* code, const std::string& path,
           const std::string& message) {
    report_.findings.push_back({severity, code, path, message});
  }
  // Whether a finding names the file at the path already (".." and all).
  bool names(const std::string& path) const {
    return std::any_of(
        report_.findings.begin(), report_.findings.end(),
        [&](const Finding& finding) { return lexicalPath(finding.path) == lexicalPath(path); });
  }

 private:
  LintReport& report_;
};

// The settings keys the tools read and the type each must have.
void checkSettingsTypes(const os::PlistValue& settings, const std::string& path, Lint& lint) {
  for (const char* key : {KEY_BUNDLE_NAME, KEY_FRAMEWORK_PATH, KEY_PACKAGE_VERSION,
                          KEY_HOTFIX_MANIFEST, KEY_PATCH_REMOVE_MANIFEST, KEY_PLUGIN_CUSTOMIZATION,
                          KEY_UPDATE_SITE_LIST, KEY_KEYSTORE, KEY_EXTRAS}) {
    const os::PlistValue* value = settings.find(key);
    if (value != nullptr && value->asString() == nullptr) {
      lint.add(kError, "settings-type", path,
               std::string(key) + " is not a string; the tools read it as absent.");
    }
  }
  const os::PlistValue* multi = settings.find(KEY_ALLOW_MULTI_INSTANCE);
  if (multi != nullptr && multi->asBoolean() == nullptr) {
    lint.add(kError, "settings-type", path,
             std::string(KEY_ALLOW_MULTI_INSTANCE) + " is not a boolean.");
  }
  if (!settingsString(settings, KEY_BUNDLE_NAME) ||
      settingsString(settings, KEY_BUNDLE_NAME)->empty()) {
    lint.add(kError, "settings-type", path,
             std::string(KEY_BUNDLE_NAME) +
                 " is missing or empty; patchapply would find no product (code 8).");
  }
}

// Keys that no tool reads: a misspelled key is a setting the package author believes is made.
void checkUnknownKeys(const os::PlistValue& settings, const std::string& path, Lint& lint) {
  static constexpr const char* kKnown[] = {KEY_BUNDLE_NAME,
                                           KEY_FRAMEWORK_PATH,
                                           KEY_ALLOW_MULTI_INSTANCE,
                                           KEY_PACKAGE_VERSION,
                                           KEY_HOTFIX_MANIFEST,
                                           KEY_PATCH_REMOVE_MANIFEST,
                                           KEY_PLUGIN_CUSTOMIZATION,
                                           KEY_UPDATE_SITE_LIST,
                                           KEY_KEYSTORE,
                                           KEY_EXTRAS};
  for (const auto& [key, value] : *settings.asDictionary()) {
    const auto same = [&key](const char* known) { return key == known; };
    if (std::any_of(std::begin(kKnown), std::end(kKnown), same)) continue;
    std::string message = "No tool reads the key " + key + ".";
    for (const char* known : kKnown) {
      if (key.size() == std::string_view(known).size() &&
          InstallUtil::hasPrefixCaseInsensitive(key, known)) {
        message = "No tool reads the key " + key + "; the key " + known +
                  " is spelled with other capitals.";
      }
    }
    if (key == KEY_RCP_HOME) {
      message += " patchapply computes rcpHome from bundleName and frameworkPath.";
    }
    lint.add(kWarning, "unknown-setting", path, message);
  }
}

// The line of the first "\u" escape that Java's properties loader refuses (fewer than four
// hexadecimal digits after it); comment lines are skipped and continued lines followed as the
// loader reads them.
std::optional<size_t> malformedUnicodeEscape(std::string_view text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\f'; };
  bool continued = false;
  size_t number = 0;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    if (!continued && (i == line.size() || line[i] == '#' || line[i] == '!')) continue;
    continued = false;
    for (; i < line.size(); ++i) {
      if (line[i] != '\\') continue;
      if (i + 1 == line.size()) {
        continued = true;
        break;
      }
      if (line[++i] != 'u') continue;
      for (size_t k = 1; k <= 4; ++k) {
        if (i + k >= line.size() || !std::isxdigit(static_cast<unsigned char>(line[i + k]))) {
          return number;
        }
      }
      i += 4;
    }
  }
  return std::nullopt;
}

void checkManifestShape(const ManifestContents& manifest, const std::string& path, Lint& lint) {
  if (!manifest.readable) return;
  if (!manifest.wellFormed) {
    lint.add(kError, "malformed-manifest", path, "The manifest is not well-formed XML.");
  } else if (manifest.missingLevel) {
    lint.add(kError, "malformed-manifest", path,
             "The manifest has no " + *manifest.missingLevel + " element where it needs one.");
  }
}

// The file a location names, as the launcher fetches it: "file:<path>", or a "jar:" location
// around one, which names the archive before its "!"; none for any other location.
std::optional<std::string> fileOfLocation(std::string_view location) {
  const bool archive = location.starts_with("jar:");
  if (archive) location.remove_prefix(4);
  if (!location.starts_with("file:")) return std::nullopt;
  location.remove_prefix(5);
  if (archive) location = location.substr(0, location.find('!'));
  std::string path(location);
  if (path.starts_with("///")) path.erase(0, 2);
  return path;
}

// Every ${installer.root} location, with the placeholder replaced wherever it stands as the
// install replaces it, must name a file in the package.
void checkLocations(const ManifestContents& manifest, const std::string& package,
                    const std::string& path, Lint& lint) {
  for (const InstallFeature& installFeature : manifest.installFeatures) {
    for (const Feature& feature : installFeature.requirements) {
      if (!feature.url || feature.url->find(INSTALLER_ROOT_PLACEHOLDER) == std::string::npos) {
        continue;
      }
      const std::string location = StringUtil::stringByReplacingOccurrencesOfString(
          *feature.url, INSTALLER_ROOT_PLACEHOLDER, "file:" + package);
      const std::optional<std::string> file = fileOfLocation(location);
      if (!file) {
        lint.add(kError, "unresolved-location", path,
                 "Feature " + describe(feature) + " is fetched from " + location +
                     ", which is no file location.");
      } else if (!fs::exists(*file)) {
        lint.add(kError, "unresolved-location", path,
                 "Feature " + describe(feature) + " is fetched from " + location + ", but " +
                     *file + " does not exist.");
      }
    }
  }
}

// The removal manifest must take out exactly what the install manifest puts in.
void checkRemoval(const ManifestContents& install, const ManifestContents& removal,
                  const std::string& path, Lint& lint) {
  std::set<std::string> installedTop;
  std::set<std::string> installed;
  for (const InstallFeature& top : install.installFeatures) {
    if (!installs(top.feature)) continue;
    installedTop.insert(describe(top.feature));
    for (const Feature& feature : top.requirements) {
      if (installs(feature)) installed.insert(describe(feature));
    }
  }
  std::set<std::string> removedTop;
  std::set<std::string> removed;
  for (const InstallFeature& top : removal.installFeatures) {
    if (top.feature.action != "uninstall") {
      lint.add(kError, "removal-mismatch", path,
               "Install feature " + describe(top.feature) + " is not marked action=\"uninstall\".");
    } else {
      removedTop.insert(describe(top.feature));
    }
    for (const Feature& feature : top.requirements) {
      if (feature.action != "uninstall") {
        lint.add(kError, "removal-mismatch", path,
                 "Feature " + describe(feature) + " is not marked action=\"uninstall\".");
      } else {
        removed.insert(describe(feature));
      }
    }
  }
  const auto compare = [&](const std::set<std::string>& in, const std::set<std::string>& out,
                           const std::string& kind) {
    for (const std::string& name : in) {
      if (out.count(name) == 0) {
        lint.add(kError, "removal-mismatch", path,
                 kind + " " + name + " is installed but the removal does not take it out.");
      }
    }
    for (const std::string& name : out) {
      if (in.count(name) == 0) {
        lint.add(kError, "removal-mismatch", path,
                 kind + " " + name + " is taken out but the install does not put it in.");
      }
    }
  };
  compare(installedTop, removedTop, "Install feature");
  compare(installed, removed, "Feature");
}

// The trees the install takes files from, each walked once: a link that leads out of the
// package carries a file of the machine that built it into the product; a FIFO or device is
// no file to ship.
void checkTrees(std::vector<std::string> trees, const std::string& distribution, Lint& lint) {
  for (std::string& tree : trees) tree = lexicalPath(tree);
  std::sort(trees.begin(), trees.end());
  std::vector<std::string> walked;
  for (const std::string& tree : trees) {
    const auto inside = [&tree](const std::string& top) {
      return tree == top || tree.starts_with(top + "/");
    };
    if (!fs::isDirectory(tree) || std::any_of(walked.begin(), walked.end(), inside)) continue;
    walked.push_back(tree);
    if (const std::optional<std::string> target = linkOutOf(tree, distribution)) {
      lint.add(kError, "link-out-of-package", tree,
               "A symbolic link on the way leads to " + *target + ", outside the package (" +
                   distribution + ").");
    }
    for (const UnusualEntry& entry : unusualEntries(tree, distribution)) {
      if (entry.linkTarget) {
        lint.add(kError, "link-out-of-package", entry.path,
                 "The symbolic link leads to " + *entry.linkTarget + ", outside the package (" +
                     distribution +
                     "); the install would put it, or what it leads to, into "
                     "the product.");
      } else if (!lint.names(entry.path)) {
        lint.add(kWarning, "special-file", entry.path,
                 "The entry is " + entry.what + ", no file that a package can ship.");
      }
    }
  }
}

// The package path as patchapply takes it: characters it accepts, a directory.
void checkPackagePath(const std::string& package, Lint& lint) {
  if (const std::optional<char> refused = unsupportedCharacter(package)) {
    lint.add(kError, "unsupported-characters", package,
             std::string("The package path holds '") + *refused +
                 "', a character patchapply refuses (code 3).");
  }
  if (!fs::isDirectory(package)) {
    lint.add(
        kError, "missing-file", package,
        fs::exists(package) ? "The package is not a directory." : "The package does not exist.");
  }
}

// The settings file as a dictionary; none, with the finding that says why, when it is missing
// or cannot be read as one: no other check can then be made.
std::optional<os::PlistValue> readSettingsFile(const std::string& settingsPath, Lint& lint) {
  if (!fs::exists(settingsPath)) {
    lint.add(kError, "settings-unreadable", settingsPath, "The settings file does not exist.");
    return std::nullopt;
  }
  const FileText settingsText = readCapped(settingsPath);
  if (!settingsText.text) {
    lint.add(kError, settingsText.tooLarge ? "file-too-large" : "settings-unreadable", settingsPath,
             "The settings file cannot be read: " + settingsText.reason + ".");
    return std::nullopt;
  }
  std::optional<os::PlistValue> settings = os::parsePlist(*settingsText.text);
  if (!settings) {
    lint.add(kError, "settings-unreadable", settingsPath,
             "The settings file is not a property list.");
    return std::nullopt;
  }
  if (settings->asDictionary() == nullptr) {
    lint.add(kError, "settings-unreadable", settingsPath,
             "The settings file's root is not a dictionary.");
    return std::nullopt;
  }
  return settings;
}

// Each file and directory the settings name must be there. Answers the trees the install
// takes files from: the package and the directory of each.
std::vector<std::string> checkNamedFiles(const os::PlistValue& preference,
                                         const std::string& package, Lint& lint) {
  struct Wanted {
    const char* key;
    const char* severity;
    const char* what;
    bool directory;
  };
  std::vector<std::string> trees{package};
  for (const Wanted& wanted : {
           Wanted{KEY_HOTFIX_MANIFEST, kError, "The install manifest", false},
           Wanted{KEY_PATCH_REMOVE_MANIFEST, kWarning,
                  "The removal manifest (without it the hotfix cannot be removed)", false},
           Wanted{KEY_PLUGIN_CUSTOMIZATION, kWarning, "The plug-in customization", false},
           Wanted{KEY_KEYSTORE, kWarning, "The keystore directory", true},
           Wanted{KEY_EXTRAS, kWarning, "The extras directory", true},
           Wanted{KEY_UPDATE_SITE_LIST, kWarning, "The update site", true},
       }) {
    const std::optional<std::string> where = settingsString(preference, wanted.key);
    if (!where) continue;
    trees.push_back(wanted.directory ? *where : os::deletingLastComponent(*where));
    const bool there = wanted.directory ? fs::isDirectory(*where) : fs::exists(*where);
    if (!there) {
      lint.add(wanted.severity, "missing-file", *where,
               std::string(wanted.what) + " does not exist (" + wanted.key + ").");
    }
  }
  return trees;
}

// The install and removal manifests: readable, of the shape the install reads, their
// locations in the package, and the removal taking out what the install puts in.
void checkManifests(const os::PlistValue& preference, const std::string& package, Lint& lint) {
  const std::optional<std::string> installPath = settingsString(preference, KEY_HOTFIX_MANIFEST);
  const std::optional<std::string> removalPath =
      settingsString(preference, KEY_PATCH_REMOVE_MANIFEST);
  const ManifestContents install = installPath ? readManifest(*installPath) : ManifestContents{};
  const ManifestContents removal = removalPath ? readManifest(*removalPath) : ManifestContents{};
  // A manifest that exists and cannot be read fails the install (code 4) or leaves a hotfix
  // that cannot be removed (the install skips the copy without a word).
  if (installPath && !install.readable && fs::entryExists(*installPath)) {
    lint.add(kError, install.tooLarge ? "file-too-large" : "unreadable-file", *installPath,
             "The install manifest cannot be read: " + install.reason +
                 "; patchapply would stop with code 4.");
  }
  if (removalPath && !removal.readable && fs::entryExists(*removalPath)) {
    lint.add(removal.tooLarge ? kError : kWarning,
             removal.tooLarge ? "file-too-large" : "unreadable-file", *removalPath,
             "The removal manifest cannot be read: " + removal.reason +
                 "; the install would not copy it and the hotfix could not be removed.");
  }
  if (installPath) checkManifestShape(install, *installPath, lint);
  if (removalPath) checkManifestShape(removal, *removalPath, lint);
  if (installPath && install.wellFormed) checkLocations(install, package, *installPath, lint);
  if (removalPath && install.wellFormed && !install.missingLevel && removal.wellFormed &&
      !removal.missingLevel) {
    checkRemoval(install, removal, *removalPath, lint);
  }
}

// The plug-in customization: readable, its keys listed in the report, and loadable by Java.
void checkCustomization(const os::PlistValue& preference, LintReport& report, Lint& lint) {
  const std::optional<std::string> customization =
      settingsString(preference, KEY_PLUGIN_CUSTOMIZATION);
  if (!customization || !fs::entryExists(*customization)) return;
  const FileText text = readCapped(*customization);
  if (!text.text) {
    lint.add(text.tooLarge ? kError : kWarning,
             text.tooLarge ? "file-too-large" : "unreadable-file", *customization,
             "The plug-in customization cannot be read: " + text.reason +
                 "; the install would merge nothing.");
    return;
  }
  for (const auto& [key, value] : JavaProperties::parse(*text.text)) {
    report.customizationKeys.push_back(key + "=" + value);
  }
  if (const std::optional<size_t> line = malformedUnicodeEscape(*text.text)) {
    lint.add(kWarning, "customization-escape", *customization,
             "Line " + std::to_string(*line) +
                 " holds a \\u escape without four hexadecimal digits, which Java "
                 "refuses: the platform would not load this file.");
  }
}

}  // namespace

bool installs(const Feature& feature) {
  return !feature.action || *feature.action == "install";
}

ManifestContents readManifest(const os::Location& path) {
  ManifestContents contents;
  const FileText file = readCapped(path);
  if (!file.text) {
    contents.reason = file.reason;
    contents.tooLarge = file.tooLarge;
    return contents;
  }
  const std::optional<std::string>& text = file.text;
  contents.readable = true;
  // Well-formed as the install's own manifest reader judges it.
  contents.wellFormed = InstallManifest(path).hasDocument();
  if (!contents.wellFormed) return contents;
  pugi::xml_document document;
  if (!document.load_buffer(text->data(), text->size(), pugi::parse_full)) {
    contents.wellFormed = false;
    return contents;
  }
  pugi::xml_node node = document.document_element();
  for (const char* level : {"domain-object", "object-data", "install"}) {
    node = node.child(level);
    if (!node) {
      contents.missingLevel = level;
      return contents;
    }
  }
  for (const pugi::xml_node& top : node.children("installfeature")) {
    InstallFeature installFeature{featureOf(top), {}};
    for (const pugi::xml_node& feature : top.child("requirements").children("feature")) {
      installFeature.requirements.push_back(featureOf(feature));
    }
    contents.installFeatures.push_back(std::move(installFeature));
  }
  if (contents.installFeatures.empty()) contents.missingLevel = "installfeature";
  return contents;
}

bool LintReport::hasErrors() const {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& finding) { return finding.severity == kError; });
}

LintReport lint(const std::string& package) {
  LintReport report;
  report.package = package;
  Lint findings(report);
  checkPackagePath(package, findings);
  const std::string settingsPath = settingsFilePath(package);
  const std::optional<os::PlistValue> settings = readSettingsFile(settingsPath, findings);
  if (!settings) return report;
  checkSettingsTypes(*settings, settingsPath, findings);
  checkUnknownKeys(*settings, settingsPath, findings);
  if (const std::optional<std::string> version = settingsString(*settings, KEY_PACKAGE_VERSION)) {
    if (std::optional<Finding> finding = versionOrderFinding(*version, settingsPath)) {
      report.findings.push_back(std::move(*finding));
    }
  }

  // The paths exactly as the install resolves them: its own defaults and ${package}.
  const Hotfix hotfix(package, std::nullopt);
  if (!hotfix.preference()) return report;
  const os::PlistValue& preference = *hotfix.preference();
  const std::vector<std::string> trees = checkNamedFiles(preference, package, findings);
  checkManifests(preference, package, findings);
  checkCustomization(preference, report, findings);
  checkTrees(trees, distributionOf(package), findings);
  return report;
}

}  // namespace rcpinstall::HotfixCheck
