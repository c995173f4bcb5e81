#include "featurecheck/feature_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall::FeatureCheck {
namespace {

using testing::ScratchDirectory;
using testing::writeFile;

// One install feature com.zantec.orrery.base 3.0.1 that requires two features, one of which
// was uninstalled before a later install, and one install feature without a version.
constexpr const char* kManifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest>
  <domain-object name="rcp">
    <object-data>
      <install>
        <installfeature id="com.zantec.orrery.base" version="3.0.1">
          <requirements>
            <feature id="com.zantec.orrery.core" version="3.0.0" action="uninstall"/>
            <feature id="com.zantec.orrery.core" version="3.0.1.2"/>
            <feature id="com.zantec.orrery.nover"/>
          </requirements>
        </installfeature>
        <installfeature id="com.zantec.orrery.unversioned"/>
      </install>
    </object-data>
  </domain-object>
</manifest>
)";

void makeDirectories(const std::string& path) {
  std::filesystem::create_directories(path);
}

// A product home under a scratch directory, with the registry and default-path places of the
// tool pointing into it.
struct Machine {
  Machine() {
    locations.registerDirectory = scratch / "Fernhollow";
    locations.defaultApplicationPath = scratch / "Applications/#APP_NAME_VAR#.app/Contents/MacOS";
    locations.traceLogPath = scratch / "install_trace.log";
  }
  std::string defaultHome(const std::string& product) const {
    return scratch / ("Applications/" + product + ".app/Contents/MacOS");
  }
  // A platform home holding a manifest.
  void makeHome(const std::string& home, const std::string& manifest = kManifest) const {
    makeDirectories(home + "/rcp/deploy");
    ASSERT_TRUE(writeFile(home + "/rcp/deploy/install.xml", manifest));
  }
  void writeRegistry(const std::string& product, const std::string& oldInstallLocation) const {
    makeDirectories(locations.registerDirectory + "/" + product);
    os::PlistValue registry;
    registry.set("pathToProduct", "/Applications/" + product + ".app");
    registry.set("oldInstallLocation", oldInstallLocation);
    ASSERT_TRUE(os::writePlistFile(locations.registerDirectory + "/" + product + "/framework.plist",
                                   registry));
  }

  ScratchDirectory scratch{"featurecheck"};
  Locations locations;
};

TEST(FeatureCheckTest, ReadsTheFourOptions) {
  const Options options =
      readOptions({"featurecheck", "-featureID", "-productname", "-rcphome", "/p",
                   "-installfeatureID", "i", "-featureID", "f", "-productname"});
  EXPECT_EQ(options.featureID, "-productname");
  EXPECT_EQ(options.rcpHome, "/p");
  EXPECT_EQ(options.installFeatureID, "i");
  // The option is read wherever it stands, also as another option's value.
  EXPECT_EQ(options.productName, "-rcphome");
}

TEST(FeatureCheckTest, PlatformHomeFromOptionRegistryOrDefaultPath) {
  enum Registry { kNoRegistry, kRcpPresent, kRcpMissing };
  struct Row {
    const char* what;
    std::optional<std::string> rcpHome;
    std::optional<std::string> productName;
    Registry registry;
    std::vector<std::string> defaultProducts;  // default application paths that exist
    const char* expected;  // "option", "registry", "default:<product>" or "none"
  };
  const Row rows[] = {
      {"option as given", "/no/such/dir/", std::nullopt, kRcpPresent, {"Orrery"}, "option"},
      {"registry of the named product",
       std::nullopt,
       "Tellur",
       kRcpPresent,
       {"Tellur"},
       "registry"},
      {"registry of Orrery without a name",
       std::nullopt,
       std::nullopt,
       kRcpPresent,
       {},
       "registry"},
      {"registry location without rcp",
       std::nullopt,
       "Tellur",
       kRcpMissing,
       {"Tellur"},
       "default:Tellur"},
      {"no registry: default for the name",
       std::nullopt,
       "Tellur",
       kNoRegistry,
       {"Orrery", "Tellur"},
       "default:Tellur"},
      {"no registry, no name: Orrery",
       std::nullopt,
       std::nullopt,
       kNoRegistry,
       {"Orrery"},
       "default:Orrery"},
      {"default path missing", std::nullopt, "Tellur", kNoRegistry, {"Orrery"}, "none"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Machine machine;
    const std::string product = row.productName.value_or("Orrery");
    const std::string oldLocation = machine.scratch / "old/MacOS";
    if (row.registry != kNoRegistry) {
      machine.writeRegistry(product, oldLocation);
      makeDirectories(row.registry == kRcpPresent ? oldLocation + "/rcp" : oldLocation);
    }
    for (const std::string& name : row.defaultProducts) makeDirectories(machine.defaultHome(name));

    Options options;
    options.rcpHome = row.rcpHome;
    options.productName = row.productName;
    const std::string kind = row.expected;
    std::optional<std::string> expected;
    if (kind == "option") expected = row.rcpHome;
    if (kind == "registry") expected = oldLocation;
    if (kind.starts_with("default:")) expected = machine.defaultHome(kind.substr(8));
    EXPECT_EQ(locatePlatformHome(options, machine.locations), expected);
  }
}

TEST(FeatureCheckTest, ManifestPathIsPlainConcatenation) {
  EXPECT_EQ(manifestPath("/A/MacOS"), "/A/MacOS/rcp/deploy/install.xml");
  EXPECT_EQ(manifestPath("/A/MacOS/"), "/A/MacOS//rcp/deploy/install.xml");
  EXPECT_EQ(manifestPath("../x"), "../x/rcp/deploy/install.xml");
}

TEST(FeatureCheckTest, Answers) {
  Machine machine;
  const std::string home = machine.scratch / "Orrery.app/Contents/MacOS";
  machine.makeHome(home);
  struct Row {
    const char* what;
    std::optional<std::string> rcpHome;
    std::optional<std::string> installFeatureID;
    std::optional<std::string> featureID;
    std::string expected;
  };
  const Row rows[] = {
      {"install feature", home, "com.zantec.orrery.base", std::nullopt, "3.0.1"},
      {"feature wins over install feature", home, "com.zantec.orrery.base",
       "com.zantec.orrery.base", "-1"},
      {"feature with an unknown install feature", home, "x", "com.zantec.orrery.core", "3.0.1.2"},
      {"no version: recorded, but no text", home, "com.zantec.orrery.unversioned", std::nullopt,
       ""},
      {"feature without version", home, std::nullopt, "com.zantec.orrery.nover", ""},
      {"no platform there", machine.scratch / "nowhere", "com.zantec.orrery.base", std::nullopt,
       "-1"},
      {"empty home names no directory", "", "com.zantec.orrery.base", std::nullopt, "-1"},
      {"no home at all", std::nullopt, "com.zantec.orrery.base", std::nullopt, "-1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Options options;
    options.rcpHome = row.rcpHome;
    options.installFeatureID = row.installFeatureID;
    options.featureID = row.featureID;
    EXPECT_EQ(answer(options, machine.locations), row.expected);
  }
}

}  // namespace
}  // namespace rcpinstall::FeatureCheck
