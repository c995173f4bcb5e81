// Sample products and hotfix packages laid out on disk for tests and the demo.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rcpinstall::rcpsim {

using FeatureList = std::vector<std::pair<std::string, std::string>>;  // id, version

// The hotfix install feature and, by default, its three features, all at the hotfix version.
inline constexpr const char* HOTFIX_INSTALL_FEATURE = "com.zantec.orrery.hotfix";
FeatureList defaultHotfixFeatures(const std::string& version);

struct ProductOptions {
  std::string name = "Orrery";
  std::string frameworkPath = "Contents/MacOS";
  std::string appVersion = "6.2.1";  // CFBundleShortVersionString of Info.plist
  std::string version = "6.2.1";     // "version" of installInfo.plist
  std::string baseVersion = "6.2.0.20090101-0100";
  // A hotfix already installed: recorded in installInfo.plist and install.xml, its feature
  // files in place, and its removal manifest in deploy.
  std::optional<std::string> hotfixVersion;
  std::optional<std::string> rcpData;  // rcp.data as written; default <platform home>/workspace
  std::string manifestVersion = "0101260000";
  std::string ignitor;  // the launcher program to copy; empty: none is copied
  // Parts left out: info-plist, ignitor, ignitor-properties, rcp-data, manifest-version,
  // install-manifest, base-plugin, features, install-info, uninstall-manifest, shared,
  // plugin-customization, keystore.
  std::set<std::string> without;
};

struct ProductLayout {
  std::string bundle;        // <dir>/<name>.app
  std::string platformHome;  // <bundle>/<frameworkPath>
  std::string rcphome;       // <platform home>/rcp
};

struct HotfixOptions {
  std::string name = "Orrery";  // bundleName
  std::string frameworkPath = "Contents/MacOS";
  std::string version = "1.0.2";
  bool allowMultiInstance = false;
  std::optional<FeatureList> features;  // default: defaultHotfixFeatures(version)
  std::set<std::string> unfetchable;    // feature ids whose files the update site lacks
  bool urls = true;  // features carry ${installer.root} locations; else only the site has them
  // Parts left out: settings, install-manifest, uninstall-manifest, plugin-customization,
  // keystore, extras, update-site.
  std::set<std::string> without;
};

struct HotfixLayout {
  std::string mpkg;        // <dir>/Hotfix.mpkg
  std::string package;     // <mpkg>/Contents/Packages/hotfix.pkg, handed to the install program
  std::string deploy;      // <mpkg>/Contents/Packages/deploy
  std::string updateSite;  // <mpkg>/Contents/updates/platform
};

// The manifests a hotfix ships: install features its features at
// ${installer.root}/../../updates/platform/features/<id>_<version>.jar (or with no location),
// and the manifest that takes them out again.
std::string hotfixInstallManifest(const std::string& version, const FeatureList& features,
                                  bool urls);
std::string hotfixRemovalManifest(const std::string& version, const FeatureList& features);

// Lay the files out below dir (created when missing). False with a reason when a part could
// not be written; the parts already written stay.
bool layOutProduct(const std::string& dir, const ProductOptions& options, ProductLayout& layout,
                   std::string& error);
bool layOutHotfix(const std::string& dir, const HotfixOptions& options, HotfixLayout& layout,
                  std::string& error);

std::string rcpsimUsage();
// rcpsim product <dir> [options] | rcpsim hotfix <dir> [options] | rcpsim --help
int RcpsimMain(int argc, char** argv);

}  // namespace rcpinstall::rcpsim
