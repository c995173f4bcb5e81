// hotfixcheck lint: the faults of a package that would make its install or removal go wrong.
#include <pugixml.hpp>

#include <algorithm>
#include <set>

#include "apply/hotfix.h"
#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
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

void checkManifestShape(const ManifestContents& manifest, const std::string& path, Lint& lint) {
  if (!manifest.readable) return;
  if (!manifest.wellFormed) {
    lint.add(kError, "malformed-manifest", path, "The manifest is not well-formed XML.");
  } else if (manifest.missingLevel) {
    lint.add(kError, "malformed-manifest", path,
             "The manifest has no " + *manifest.missingLevel + " element where it needs one.");
  }
}

// Every ${installer.root} location, with the placeholder replaced as the install replaces
// it, must name a file in the package.
void checkLocations(const ManifestContents& manifest, const std::string& package,
                    const std::string& path, Lint& lint) {
  for (const InstallFeature& installFeature : manifest.installFeatures) {
    for (const Feature& feature : installFeature.requirements) {
      if (!feature.url || feature.url->find(INSTALLER_ROOT_PLACEHOLDER) == std::string::npos) {
        continue;
      }
      const std::string location = StringUtil::stringByReplacingOccurrencesOfString(
          *feature.url, INSTALLER_ROOT_PLACEHOLDER, "file:" + package);
      const std::string file = location.substr(std::string_view("file:").size());
      if (!fs::exists(file)) {
        lint.add(kError, "unresolved-location", path,
                 "Feature " + describe(feature) + " is fetched from " + location +
                     ", which does not exist.");
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

}  // namespace

bool installs(const Feature& feature) {
  return !feature.action || *feature.action == "install";
}

ManifestContents readManifest(const std::string& path) {
  ManifestContents contents;
  const std::optional<std::string> text = os::readWholeFile(path);
  if (!text) return contents;
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

  if (InstallUtil::containUnSupportedCharacters(package)) {
    findings.add(kError, "unsupported-characters", package,
                 "The package path holds a character patchapply refuses (code 3).");
  }
  const std::string settingsPath = settingsFilePath(package);
  if (!fs::isDirectory(package)) {
    findings.add(kError, "missing-file", package, "The package is not a directory.");
  }
  const std::optional<os::PlistValue> settings = os::readPlistFile(settingsPath);
  if (!fs::exists(settingsPath)) {
    findings.add(kError, "settings-unreadable", settingsPath, "The settings file does not exist.");
    return report;
  }
  if (!settings) {
    findings.add(kError, "settings-unreadable", settingsPath,
                 "The settings file is not a property list.");
    return report;
  }
  if (settings->asDictionary() == nullptr) {
    findings.add(kError, "settings-unreadable", settingsPath,
                 "The settings file's root is not a dictionary.");
    return report;
  }
  checkSettingsTypes(*settings, settingsPath, findings);

  // The paths exactly as the install resolves them: its own defaults and ${package}.
  const Hotfix hotfix(package, std::nullopt);
  if (!hotfix.preference()) return report;
  const auto path = [&hotfix](const char* key) {
    return settingsString(*hotfix.preference(), key);
  };
  struct Wanted {
    const char* key;
    const char* severity;
    const char* what;
    bool directory;
  };
  for (const Wanted& wanted : {
           Wanted{KEY_HOTFIX_MANIFEST, kError, "The install manifest", false},
           Wanted{KEY_PATCH_REMOVE_MANIFEST, kWarning,
                  "The removal manifest (without it the hotfix cannot be removed)", false},
           Wanted{KEY_PLUGIN_CUSTOMIZATION, kWarning, "The plug-in customization", false},
           Wanted{KEY_KEYSTORE, kWarning, "The keystore directory", true},
           Wanted{KEY_EXTRAS, kWarning, "The extras directory", true},
           Wanted{KEY_UPDATE_SITE_LIST, kWarning, "The update site", true},
       }) {
    const std::optional<std::string> where = path(wanted.key);
    if (!where) continue;
    const bool there = wanted.directory ? fs::isDirectory(*where) : fs::exists(*where);
    if (!there) {
      findings.add(wanted.severity, "missing-file", *where,
                   std::string(wanted.what) + " does not exist (" + wanted.key + ").");
    }
  }

  const std::optional<std::string> installPath = path(KEY_HOTFIX_MANIFEST);
  const std::optional<std::string> removalPath = path(KEY_PATCH_REMOVE_MANIFEST);
  const ManifestContents install = installPath ? readManifest(*installPath) : ManifestContents{};
  const ManifestContents removal = removalPath ? readManifest(*removalPath) : ManifestContents{};
  if (installPath) checkManifestShape(install, *installPath, findings);
  if (removalPath) checkManifestShape(removal, *removalPath, findings);
  if (installPath && install.wellFormed) checkLocations(install, package, *installPath, findings);
  if (removalPath && install.wellFormed && !install.missingLevel && removal.wellFormed &&
      !removal.missingLevel) {
    checkRemoval(install, removal, *removalPath, findings);
  }

  if (const std::optional<std::string> customization = path(KEY_PLUGIN_CUSTOMIZATION);
      customization && fs::exists(*customization)) {
    const JavaProperties properties(customization);
    for (const auto& [key, value] : properties.table()) {
      report.customizationKeys.push_back(key + "=" + value);
    }
  }
  return report;
}

}  // namespace rcpinstall::HotfixCheck
