// An install and a removal driven through InstanceService against the simulated launcher.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "os/child_process.h"
#include "rcpsim/rcpsim_testing.h"

namespace rcpinstall::rcpsim {
namespace {

using rcpsim_testing::cleanupArguments;
using rcpsim_testing::installArguments;
using rcpsim_testing::lastLogFields;
using rcpsim_testing::removalArguments;
using rcpsim_testing::SampleInstall;
using ::testing::HasSubstr;

// The install workflow's staging steps and launcher run, in their order.
int installThroughTheService(const SampleInstall& sample) {
  InstanceService service(sample.rcphome());
  const std::string deploy = sample.hotfix().package + "/../deploy";
  EXPECT_TRUE(service.copyUpdateManifest(deploy + "/install.hotfix.xml", sample.hotfix().package));
  EXPECT_TRUE(service.copyPatchRemoveManifest(deploy + "/uninstall.hotfix.xml"));
  service.backupInstallManifest();
  EXPECT_TRUE(service.updateProvisionManifestVersion(InstallUtil::generateNewManifestVersion()));
  service.mergePluginCustomizationWithRcphome(deploy + "/plugin_customization.ini");
  service.copyKeyStores(deploy);
  service.copyExtras(deploy + "/extras");
  EXPECT_TRUE(service.removeProvisionRCFile());
  os::runAndWait(sample.rcp("ignitor"), installArguments(sample.updateSite()));
  return service.getProvisioningResult();
}

TEST(RoundTripTest, InstallThenRemove) {
  SampleInstall sample;
  const std::string before = testing::readFile(sample.rcp("deploy/install.xml")).value_or("");
  ASSERT_EQ(installThroughTheService(sample), 0);

  // The new install feature and its features are recorded and their files in place.
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt), "1.0.2");
  for (const auto& [id, version] : defaultHotfixFeatures("1.0.2")) {
    EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, id), version);
    EXPECT_TRUE(testing::readFile(sample.rcp("eclipse/features/" + id + "_" + version + ".jar")));
  }
  // The staged manifest carried the package as a file: location.
  EXPECT_THAT(testing::readFile(sample.rcp("deploy/install.update.xml")).value_or(""),
              HasSubstr("url=\"file:" + sample.hotfix().package + "/../../updates/platform/"));
  EXPECT_EQ(testing::readFile(sample.rcp("deploy/install.0101260000.xml")), before);
  EXPECT_EQ(testing::readFile(sample.rcp("deploy/.keystore")), "hotfix keystore 1.0.2\n");
  EXPECT_EQ(testing::readFile(sample.rcp("deploy/extras/docs/notes.txt")),
            "Release notes of hotfix 1.0.2\n");
  EXPECT_EQ(
      JavaProperties::parse(testing::readFile(sample.rcp("plugin_customization.ini")).value_or(""))
          .at("com.zantec.orrery/level"),
      "hotfix 1.0.2");

  const std::vector<std::string> fields =
      lastLogFields(testing::readFile(sample.logFile()).value_or(""));
  ASSERT_GE(fields.size(), 7u);
  EXPECT_EQ(fields[6], "Provisioning completed|-3 features installed|Restart the product");
  const std::string manifestVersion =
      JavaProperties::parse(testing::readFile(sample.rcp("ignitor.properties")).value_or(""))
          .at("provisioning.manifest.version");
  EXPECT_EQ(fields[4], manifestVersion);
  InstanceService service(sample.rcphome());
  ASSERT_TRUE(service.updateHotfixVersion("1.0.2"));

  // The removal workflow: stage the removal manifest, two update runs, clear, cleanup.
  ASSERT_TRUE(service.copyUpdateManifest(sample.rcp("deploy/uninstall.hotfix.xml"), std::nullopt));
  EXPECT_TRUE(service.removeProvisionRCFile());
  for (int i = 0; i < 2; ++i) os::runAndWait(sample.rcp("ignitor"), removalArguments());
  ASSERT_TRUE(service.updateHotfixVersion(std::nullopt));
  EXPECT_EQ(service.getProvisioningResult(), 0);
  EXPECT_TRUE(service.removeProvisionRCFile());
  os::runAndWait(sample.rcp("ignitor"), cleanupArguments());
  EXPECT_TRUE(service.removeProvisionRCFile());

  EXPECT_FALSE(service.isHotfixApplied());
  EXPECT_EQ(InstallManifest(sample.rcp("deploy/install.xml"))
                .checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt),
            "-1");
  EXPECT_FALSE(testing::readFile(sample.rcp("deploy/install.update.xml")).has_value());
  EXPECT_FALSE(
      testing::readFile(sample.rcp("eclipse/features/com.zantec.orrery.fix.ui_1.0.2.jar")));
  const std::vector<std::vector<std::string>> calls = readIgnitorCalls(sample.rcp("ignitor.calls"));
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].size(), 14u);  // the program, then the 13 install arguments
  EXPECT_EQ(calls[1].size(), 12u);
  EXPECT_EQ(calls[3], (std::vector<std::string>{sample.rcp("ignitor"), "-provManifest",
                                                "-ignitorWait", "-noSplash", "-product", "NULL",
                                                "-provisioningOperation", "cleanup"}));
}

TEST(RoundTripTest, FaultsDecideTheProvisioningResult) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      // fault, result file
      {"rc=1\n", "rc=1\n"},     {"result=none\n", std::nullopt}, {"crash=true\n", std::nullopt},
      {"rc=abc\n", "rc=abc\n"}, {"garbage=true\n", "*"},         {"rc=2\n", "rc=2\n"},
      {"sleep=1\n", "rc=0\n"},
  };
  for (const auto& [fault, result] : rows) {
    SampleInstall sample;
    ASSERT_TRUE(testing::writeFile(sample.rcp("ignitor.fault"), fault));
    const bool success = result == "rc=2\n" || result == "rc=0\n";
    EXPECT_EQ(installThroughTheService(sample), success ? 0 : -1) << fault;
    if (result != "*") {
      EXPECT_EQ(testing::readFile(sample.resultFile()), result) << fault;
    }
  }
  // A feature the package lacks makes a partial result, which counts as success.
  HotfixOptions hotfix;
  hotfix.unfetchable = {"com.zantec.rcp.fix.base"};
  SampleInstall partial({}, hotfix);
  EXPECT_EQ(installThroughTheService(partial), 0);
  EXPECT_EQ(testing::readFile(partial.resultFile()), "rc=2\n");
  const std::vector<std::string> fields =
      lastLogFields(testing::readFile(partial.logFile()).value_or(""));
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[6],
            "Provisioning completed with partial results|-2 features installed|-Not "
            "fetched: com.zantec.rcp.fix.base 1.0.2|Restart the product");
}

}  // namespace
}  // namespace rcpinstall::rcpsim
