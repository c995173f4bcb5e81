// Sample products and hotfix packages: the files a real installation and package would hold.
#include "rcpsim/sample_layout.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "foundation/java_properties.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/plist_value.h"

namespace rcpinstall::rcpsim {

namespace {

using os::appendComponent;
using os::PlistDictionary;
using os::PlistValue;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// Writes the files of one layout, remembering the first failure.
class Writer {
 public:
  explicit Writer(std::string& error) : error_(error) {}

  bool directory(const std::string& path) {
    std::error_code code;
    std::filesystem::create_directories(path, code);
    return check(!code && os::FileSystem::isDirectory(path), path);
  }
  bool file(const std::string& path, const std::string& contents, mode_t mode = 0644) {
    if (!directory(os::deletingLastComponent(path))) return false;
    return check(os::replaceFileAtomically(path, contents, {std::nullopt, std::nullopt, mode}),
                 path);
  }
  bool plist(const std::string& path, const PlistValue& value) {
    if (!directory(os::deletingLastComponent(path))) return false;
    return check(os::writePlistFile(path, value), path);
  }
  bool properties(const std::string& path, const JavaProperties::Table& table) {
    return file(path, JavaProperties::serialize(table));
  }
  bool copy(const std::string& from, const std::string& to, mode_t mode) {
    const std::optional<std::string> bytes = os::readWholeFile(from);
    if (!check(bytes.has_value(), from)) return false;
    return file(to, *bytes, mode);
  }
  bool ok() const { return error_.empty(); }

 private:
  bool check(bool done, const std::string& path) {
    if (!done && error_.empty()) error_ = "cannot write " + path;
    return done;
  }
  std::string& error_;
};

std::string featureElement(const std::string& id, const std::string& version,
                           const std::string& extra) {
  return "          <feature id=\"" + id + "\" version=\"" + version + "\"" + extra + "/>\n";
}

std::string installFeatureElement(const std::string& id, const std::string& version,
                                  const std::string& extra, const std::string& features) {
  return "      <installfeature id=\"" + id + "\" version=\"" + version + "\"" + extra +
         ">\n        <requirements>\n" + features + "        </requirements>\n" +
         "      </installfeature>\n";
}

std::string manifestAround(const std::string& installFeatures) {
  return std::string(kDeclaration) +
         "<manifest>\n  <domain-object name=\"rcp\">\n    <object-data>\n    <install>\n" +
         installFeatures + "    </install>\n    </object-data>\n  </domain-object>\n</manifest>\n";
}

std::string featureFileName(const std::string& id, const std::string& version) {
  return id + "_" + version + ".jar";
}

std::string featureFileContent(const std::string& id, const std::string& version) {
  return "feature " + id + " " + version + "\n";
}

bool leaves(const std::set<std::string>& without, const char* part) {
  return without.count(part) != 0;
}

}  // namespace

FeatureList defaultHotfixFeatures(const std::string& version) {
  return {{"com.zantec.orrery.fix.core", version},
          {"com.zantec.orrery.fix.ui", version},
          {"com.zantec.rcp.fix.base", version}};
}

std::string hotfixInstallManifest(const std::string& version, const FeatureList& features,
                                  bool urls) {
  std::string elements;
  for (const auto& [id, featureVersion] : features) {
    const std::string url = urls ? " url=\"${installer.root}/../../updates/platform/features/" +
                                       featureFileName(id, featureVersion) + "\""
                                 : "";
    elements += featureElement(id, featureVersion, url);
  }
  return manifestAround(installFeatureElement(HOTFIX_INSTALL_FEATURE, version, "", elements));
}

std::string hotfixRemovalManifest(const std::string& version, const FeatureList& features) {
  std::string elements;
  for (const auto& [id, featureVersion] : features) {
    elements += featureElement(id, featureVersion, " action=\"uninstall\"");
  }
  return manifestAround(
      installFeatureElement(HOTFIX_INSTALL_FEATURE, version, " action=\"uninstall\"", elements));
}

bool layOutProduct(const std::string& dir, const ProductOptions& options, ProductLayout& layout,
                   std::string& error) {
  error.clear();
  Writer write(error);
  layout.bundle = appendComponent(dir, options.name + ".app");
  layout.platformHome = appendComponent(layout.bundle, options.frameworkPath);
  layout.rcphome = appendComponent(layout.platformHome, "rcp");
  const auto& without = options.without;
  const std::string rcphome = layout.rcphome;
  const std::string deploy = appendComponent(rcphome, "deploy");
  const std::string features = appendComponent(appendComponent(rcphome, "eclipse"), "features");
  const std::string plugins = appendComponent(appendComponent(rcphome, "eclipse"), "plugins");

  write.directory(deploy);
  write.directory(features);
  write.directory(plugins);
  if (!leaves(without, "info-plist")) {
    write.plist(appendComponent(appendComponent(layout.bundle, "Contents"), "Info.plist"),
                PlistValue(PlistDictionary{{"CFBundleExecutable", options.name},
                                           {"CFBundleName", options.name},
                                           {"CFBundleIdentifier", "com.zantec." + options.name},
                                           {"CFBundleShortVersionString", options.appVersion},
                                           {"CFBundleVersion", options.appVersion}}));
  }
  if (!leaves(without, "ignitor") && !options.ignitor.empty()) {
    write.copy(options.ignitor, appendComponent(rcphome, "ignitor"), 0755);
  }
  if (!leaves(without, "ignitor-properties")) {
    JavaProperties::Table table{
        {"provisioning.manifest", "file:/${rcp.home}/rcp/deploy/install.xml"},
        {"rcp.base.location",
         "${rcp.home}/rcp/eclipse/plugins/com.zantec.rcp.base_" + options.baseVersion}};
    if (!leaves(without, "rcp-data")) {
      table["rcp.data"] =
          options.rcpData.value_or(appendComponent(layout.platformHome, "workspace"));
    }
    if (!leaves(without, "manifest-version")) {
      table["provisioning.manifest.version"] = options.manifestVersion;
      table["rcp.install.id"] = options.manifestVersion;
    }
    write.properties(appendComponent(rcphome, "ignitor.properties"), table);
  }

  FeatureList installed{{"com.zantec.rcp.base", options.baseVersion},
                        {"com.zantec.rcp.help", options.baseVersion},
                        {"com.zantec.orrery.core", options.version},
                        {"com.zantec.orrery.ui", options.version}};
  const FeatureList hotfixFeatures =
      options.hotfixVersion ? defaultHotfixFeatures(*options.hotfixVersion) : FeatureList{};
  if (!leaves(without, "install-manifest")) {
    const auto group = [](const FeatureList& list, size_t from, size_t to) {
      std::string text;
      for (size_t i = from; i < to && i < list.size(); ++i) {
        text += featureElement(list[i].first, list[i].second, "");
      }
      return text;
    };
    std::string installFeatures =
        installFeatureElement("com.zantec.rcp.platform", options.baseVersion, "",
                              group(installed, 0, 2)) +
        installFeatureElement("com.zantec.orrery", options.version, "", group(installed, 2, 4));
    if (options.hotfixVersion) {
      installFeatures += installFeatureElement(HOTFIX_INSTALL_FEATURE, *options.hotfixVersion, "",
                                               group(hotfixFeatures, 0, hotfixFeatures.size()));
    }
    write.file(appendComponent(deploy, "install.xml"), manifestAround(installFeatures));
  }
  if (!leaves(without, "features")) {
    installed.insert(installed.end(), hotfixFeatures.begin(), hotfixFeatures.end());
    for (const auto& [id, version] : installed) {
      write.file(appendComponent(features, featureFileName(id, version)),
                 featureFileContent(id, version));
    }
  }
  if (!leaves(without, "base-plugin")) {
    write.file(
        appendComponent(appendComponent(plugins, "com.zantec.rcp.base_" + options.baseVersion),
                        "plugin_customization.ini"),
        "com.zantec.rcp.base/showIntro=false\ncom.zantec.orrery/level=product\n");
  }
  if (!leaves(without, "plugin-customization")) {
    write.file(appendComponent(rcphome, "plugin_customization.ini"),
               "com.zantec.orrery/level=product\ncom.zantec.orrery/autoUpdate=true\n");
  }
  if (!leaves(without, "keystore")) {
    write.file(appendComponent(deploy, ".keystore"), "product keystore\n", 0600);
  }
  if (!leaves(without, "install-info")) {
    PlistDictionary record{{"version", options.version}};
    if (options.hotfixVersion) record.emplace_back("hotfixVersion", *options.hotfixVersion);
    write.plist(appendComponent(rcphome, "installInfo.plist"), PlistValue(std::move(record)));
  }
  if (options.hotfixVersion && !leaves(without, "uninstall-manifest")) {
    write.file(appendComponent(deploy, "uninstall.hotfix.xml"),
               hotfixRemovalManifest(*options.hotfixVersion, hotfixFeatures));
  }
  if (!leaves(without, "shared")) write.directory(appendComponent(layout.platformHome, "shared"));
  return write.ok();
}

bool layOutHotfix(const std::string& dir, const HotfixOptions& options, HotfixLayout& layout,
                  std::string& error) {
  error.clear();
  Writer write(error);
  layout.mpkg = appendComponent(dir, "Hotfix.mpkg");
  const std::string packages =
      appendComponent(appendComponent(layout.mpkg, "Contents"), "Packages");
  layout.package = appendComponent(packages, "hotfix.pkg");
  layout.deploy = appendComponent(packages, "deploy");
  layout.updateSite = appendComponent(
      appendComponent(appendComponent(layout.mpkg, "Contents"), "updates"), "platform");
  const auto& without = options.without;
  const FeatureList features = options.features.value_or(defaultHotfixFeatures(options.version));

  const std::string resources =
      appendComponent(appendComponent(layout.package, "Contents"), "Resources");
  write.directory(resources);
  write.directory(layout.deploy);
  if (!leaves(without, "settings")) {
    write.plist(appendComponent(resources, "hotfix.plist"),
                PlistValue(PlistDictionary{{"bundleName", options.name},
                                           {"frameworkPath", options.frameworkPath},
                                           {"allowMultiInstance", options.allowMultiInstance},
                                           {"version", options.version}}));
  }
  if (!leaves(without, "install-manifest")) {
    write.file(appendComponent(layout.deploy, "install.hotfix.xml"),
               hotfixInstallManifest(options.version, features, options.urls));
  }
  if (!leaves(without, "uninstall-manifest")) {
    write.file(appendComponent(layout.deploy, "uninstall.hotfix.xml"),
               hotfixRemovalManifest(options.version, features));
  }
  if (!leaves(without, "plugin-customization")) {
    write.file(appendComponent(layout.deploy, "plugin_customization.ini"),
               "com.zantec.orrery/level=hotfix " + options.version +
                   "\ncom.zantec.orrery.hotfix/version=" + options.version + "\n");
  }
  if (!leaves(without, "keystore")) {
    write.file(appendComponent(layout.deploy, ".keystore"),
               "hotfix keystore " + options.version + "\n", 0600);
  }
  if (!leaves(without, "extras")) {
    const std::string extras = appendComponent(layout.deploy, "extras");
    write.file(appendComponent(extras, "readme.txt"), "Hotfix " + options.version + "\n");
    write.file(appendComponent(appendComponent(extras, "docs"), "notes.txt"),
               "Release notes of hotfix " + options.version + "\n");
  }
  if (!leaves(without, "update-site")) {
    const std::string siteFeatures = appendComponent(layout.updateSite, "features");
    write.directory(siteFeatures);
    std::string site = std::string(kDeclaration) + "<site>\n";
    for (const auto& [id, version] : features) {
      if (options.unfetchable.count(id) != 0) continue;
      write.file(appendComponent(siteFeatures, featureFileName(id, version)),
                 featureFileContent(id, version));
      site += "  <feature url=\"features/" + featureFileName(id, version) + "\" id=\"" + id +
              "\" version=\"" + version + "\"/>\n";
    }
    write.file(appendComponent(layout.updateSite, "site.xml"), site + "</site>\n");
  }
  return write.ok();
}

}  // namespace rcpinstall::rcpsim
