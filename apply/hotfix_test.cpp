// Tests of Hotfix: the settings it works with (defaults, "${package}"), where it looks for the
// platform, and the codes it sends when the install manifest cannot be staged.
#include "apply/hotfix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "foundation/install_util.h"
#include "foundation/string_util.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;
using testing::ScratchDirectory;

// <scratch>/Hotfix.mpkg/Contents/Packages/hotfix.pkg with the settings given, and an
// instance directory <scratch>/Applications/Orrery.app/Contents/MacOS/rcp when asked for.
class PackageLayout {
 public:
  explicit PackageLayout(const std::optional<PlistValue>& settings) {
    for (const std::string& dir :
         {dir_ / "Hotfix.mpkg", dir_ / "Hotfix.mpkg/Contents", packages(), package(),
          package() + "/Contents", package() + "/Contents/Resources", packages() + "/deploy",
          dir_ / "Applications"}) {
      ::mkdir(dir.c_str(), 0755);
    }
    if (settings) os::writePlistFile(settingsFilePath(package()), *settings);
  }
  std::string packages() const { return dir_ / "Hotfix.mpkg/Contents/Packages"; }
  std::string package() const { return packages() + "/hotfix.pkg"; }
  std::string location() const { return dir_ / "Applications"; }
  std::string store() const { return dir_ / "store"; }
  std::string makeRcpHome(const std::string& frameworkPath = "Contents/MacOS") const {
    std::string path = location() + "/Orrery.app";
    ::mkdir(path.c_str(), 0755);
    size_t start = 0;
    const std::string relative = frameworkPath + "/rcp";
    while (start <= relative.size()) {
      const size_t end = relative.find('/', start);
      path += "/" + relative.substr(start, end - start);
      ::mkdir(path.c_str(), 0755);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    ::mkdir((path + "/deploy").c_str(), 0755);
    return path;
  }
  HotfixLocations locations() const {
    return HotfixLocations{dir_ / "configuration", dir_ / "qel.config", store()};
  }

 private:
  ScratchDirectory dir_{"hotfix"};
};

PlistValue settingsWith(os::PlistDictionary entries) {
  os::PlistDictionary all{{"bundleName", PlistValue("Orrery")}};
  for (auto& entry : entries) all.push_back(std::move(entry));
  return PlistValue(std::move(all));
}

std::string withPackage(const std::string& text, const std::string& package) {
  return StringUtil::stringByReplacingOccurrencesOfString(text, "@", package);
}

std::string stringAt(const Hotfix& hotfix, const char* key) {
  if (!hotfix.preference()) return "<no settings>";
  const PlistValue* value = hotfix.preference()->find(key);
  if (value == nullptr) return "<absent>";
  if (value->asString() == nullptr) return "<not a string>";
  return *value->asString();
}

TEST(HotfixSettings, DefaultsFollowTheManifestAndPackageIsResolvedEverywhere) {
  struct Case {
    const char* name;
    os::PlistDictionary settings;
    std::vector<std::pair<const char*, std::string>> expected;  // "@" stands for the package
  };
  const std::vector<Case> cases = {
      {"no path keys",
       {},
       {{KEY_HOTFIX_MANIFEST, "@/../deploy/install.hotfix.xml"},
        {KEY_PATCH_REMOVE_MANIFEST, "@/../deploy/uninstall.hotfix.xml"},
        {KEY_PLUGIN_CUSTOMIZATION, "@/../deploy/plugin_customization.ini"},
        {KEY_UPDATE_SITE_LIST, "@/../../updates/platform"},
        {KEY_KEYSTORE, "@/../deploy"},
        {KEY_EXTRAS, "@/../deploy/extras"}}},
      {"empty strings count as absent",
       {{KEY_HOTFIX_MANIFEST, PlistValue("")},
        {KEY_UPDATE_SITE_LIST, PlistValue("")},
        {KEY_EXTRAS, PlistValue("")}},
       {{KEY_HOTFIX_MANIFEST, "@/../deploy/install.hotfix.xml"},
        {KEY_UPDATE_SITE_LIST, "@/../../updates/platform"},
        {KEY_EXTRAS, "@/../deploy/extras"}}},
      {"own manifest moves keystore and extras with it",
       {{KEY_HOTFIX_MANIFEST, PlistValue("${package}/../custom/hotfix/install.xml")}},
       {{KEY_HOTFIX_MANIFEST, "@/../custom/hotfix/install.xml"},
        {KEY_KEYSTORE, "@/../custom/hotfix"},
        {KEY_EXTRAS, "@/../custom/hotfix/extras"}}},
      {"given values stay, keys without default are resolved too",
       {{KEY_KEYSTORE, PlistValue("/opt/keys")},
        {"releaseNotes", PlistValue("${package}/notes/${package}")},
        {KEY_UPDATE_SITE_LIST, PlistValue("/srv/site")}},
       {{KEY_KEYSTORE, "/opt/keys"},
        {KEY_EXTRAS, "@/../deploy/extras"},
        {"releaseNotes", "@/notes/@"},
        {KEY_UPDATE_SITE_LIST, "/srv/site"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackageLayout layout(settingsWith(c.settings));
    const Hotfix hotfix(layout.package(), layout.location(), std::nullopt, layout.locations());
    for (const auto& [key, expected] : c.expected) {
      EXPECT_EQ(stringAt(hotfix, key), withPackage(expected, layout.package())) << key;
    }
  }
}

TEST(HotfixSettings, ValuesOfOtherTypesAreLeftAsTheyAre) {
  PackageLayout layout(settingsWith({{"retries", PlistValue(3)},
                                     {"mirrors", PlistValue(os::PlistArray{"${package}/m"})},
                                     {KEY_HOTFIX_MANIFEST, PlistValue(true)}}));
  const Hotfix hotfix(layout.package(), layout.location(), std::nullopt, layout.locations());
  ASSERT_TRUE(hotfix.preference());
  EXPECT_EQ(*hotfix.preference()->find("retries"), PlistValue(3));
  EXPECT_EQ(*hotfix.preference()->find("mirrors"), PlistValue(os::PlistArray{"${package}/m"}));
  EXPECT_EQ(*hotfix.preference()->find(KEY_HOTFIX_MANIFEST), PlistValue(true));
  // With no usable manifest path there is nothing to put keystores and extras beside.
  EXPECT_EQ(stringAt(hotfix, KEY_KEYSTORE), "<absent>");
  EXPECT_EQ(stringAt(hotfix, KEY_EXTRAS), "<absent>");
}

TEST(HotfixSettings, RcpHomeComesFromLocationBundleAndFramework) {
  struct Case {
    const char* name;
    os::PlistDictionary settings;
    std::optional<std::string> given;
    std::string expected;  // "@" stands for the location
  };
  const std::vector<Case> cases = {
      {"framework path",
       {{KEY_FRAMEWORK_PATH, PlistValue("Contents/Frameworks")}},
       {},
       "@/Orrery.app/Contents/Frameworks/rcp"},
      {"no framework path: where the product keeps its platform",
       {},
       {},
       "@/Orrery.app/Contents/MacOS/rcp"},
      {"empty framework path",
       {{KEY_FRAMEWORK_PATH, PlistValue("")}},
       {},
       "@/Orrery.app/Contents/MacOS/rcp"},
      {"the checked rcp home wins",
       {},
       "/Volumes/Other/Orrery 2.app/Contents/MacOS/rcp",
       "/Volumes/Other/Orrery 2.app/Contents/MacOS/rcp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackageLayout layout(settingsWith(c.settings));
    const Hotfix hotfix(layout.package(), layout.location(), c.given, layout.locations());
    ASSERT_TRUE(hotfix.pathToRcpHome());
    EXPECT_EQ(*hotfix.pathToRcpHome(), withPackage(c.expected, layout.location()));
  }
}

std::optional<PlistValue> errorOn(const PackageLayout& layout) {
  return InstallUtil::getErrorMessage(layout.store());
}

TEST(HotfixInstall, ManifestThatCannotBeStagedSendsItsCode) {
  struct Case {
    const char* name;
    os::PlistDictionary settings;
    bool writeManifest;
    bool makeRcpHome;
    int code;
    std::string detail;  // "@" stands for the install location
  };
  // (A missing manifest and one that is not XML are end-to-end scenarios.)
  const std::vector<Case> cases = {
      {"manifest path not a text: the manifest's name",
       {{KEY_HOTFIX_MANIFEST, PlistValue(7)}},
       false,
       true,
       kInstallFileNotFound,
       "install.hotfix.xml"},
      {"no platform to stage into: the file that could not be written",
       {},
       true,
       false,
       kInstallNotCompleted,
       "@/Orrery.app/Contents/MacOS/rcp/deploy/install.update.xml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackageLayout layout(settingsWith(c.settings));
    std::string rcpHome;
    if (c.makeRcpHome) rcpHome = layout.makeRcpHome();
    if (c.writeManifest) {
      testing::writeFile(layout.packages() + "/deploy/install.hotfix.xml", "<install/>\n");
    }
    InstallUtil::initInternalPasteboard(true, layout.store());
    Hotfix hotfix(layout.package(), layout.location(), std::nullopt, layout.locations());
    EXPECT_FALSE(hotfix.installNewHotfix());
    EXPECT_EQ(errorOn(layout), makeErrorRecord(c.code, {withPackage(c.detail, layout.location())}));
    // Nothing further was done: no removal manifest staged, no hand-off written.
    if (c.makeRcpHome) {
      EXPECT_FALSE(testing::readFile(rcpHome + "/deploy/uninstall.hotfix.xml"));
    }
    EXPECT_FALSE(testing::readFile(layout.locations().configurationFile));
  }
}

}  // namespace
}  // namespace rcpinstall
