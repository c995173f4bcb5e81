#include "rcpsim/ignitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "foundation/install_manifest.h"
#include "rcpsim/rcpsim_testing.h"

namespace rcpinstall::rcpsim {
namespace {

using rcpsim_testing::cleanupArguments;
using rcpsim_testing::installArguments;
using rcpsim_testing::lastLogFields;
using rcpsim_testing::removalArguments;
using rcpsim_testing::SampleInstall;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = LauncherRun::Kind;

std::vector<std::string> with(std::vector<std::string> args, size_t index, std::string value) {
  args[index] = std::move(value);
  return args;
}

TEST(IgnitorTest, CommandLines) {
  const std::vector<std::string> install = installArguments("/pkg/../../updates/platform");
  std::vector<std::string> longer = removalArguments();
  longer.push_back("-clean");
  const std::pair<std::vector<std::string>, std::optional<Kind>> rows[] = {
      {install, Kind::InstallUpdate},
      {removalArguments(), Kind::RemovalUpdate},
      {cleanupArguments(), Kind::Cleanup},
      {{}, std::nullopt},
      {longer, std::nullopt},
      {with(install, 10, "-DprovUpdateSiteListOverride=file:"), std::nullopt},
      {with(install, 10, "-DprovUpdateSiteListOverride=http://x/site"), std::nullopt},
      {with(install, 9, "-DprovisioningOperation=cleanup"), std::nullopt},
      {with(removalArguments(), 6, "-vmargs"), std::nullopt},  // no locale
      {with(removalArguments(), 0, "-provManifest"), std::nullopt},
      {with(cleanupArguments(), 4, "Orrery"), std::nullopt},
  };
  for (const auto& [args, kind] : rows) {
    const std::optional<LauncherRun> run = parseLauncherArguments(args);
    EXPECT_EQ(run ? std::optional(run->kind) : std::nullopt, kind)
        << ::testing::PrintToString(args);
  }
  EXPECT_EQ(parseLauncherArguments(install)->updateSite, "/pkg/../../updates/platform");
  EXPECT_EQ(pathOfFileLocation("file:///Volumes/x.jar"), "/Volumes/x.jar");
}

TEST(IgnitorTest, RefusedCommandLineLeavesNoResultButIsRecorded) {
  SampleInstall sample;
  const testing::RunResult run = sample.runIgnitor({"-provisioningOperation", "update"});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_FALSE(testing::readFile(sample.resultFile()).has_value());
  EXPECT_FALSE(testing::readFile(sample.logFile()).has_value());
  EXPECT_THAT(readIgnitorCalls(sample.rcp("ignitor.calls")),
              ElementsAre(ElementsAre(sample.rcp("ignitor"), "-provisioningOperation", "update")));
}

TEST(IgnitorTest, FeatureActionsInsideAnInstallFeature) {
  SampleInstall sample;
  ASSERT_TRUE(testing::writeFile(sample.updateSite() + "/features/com.zantec.orrery.core_6.2.2.jar",
                                 "core 6.2.2"));
  ASSERT_TRUE(testing::writeFile(
      sample.rcp("deploy/install.update.xml"),
      "<manifest><domain-object><object-data><install>"
      "<installfeature id=\"com.zantec.orrery\" version=\"6.2.2\"><requirements>"
      "<feature id=\"com.zantec.orrery.ui\" version=\"6.2.1\" action=\"uninstall\"/>"
      "<feature id=\"com.zantec.orrery.core\" version=\"6.2.2\" action=\"install\"/>"
      "<feature id=\"com.zantec.orrery.docs\" version=\"1\" action=\"Install\"/>"
      "</requirements></installfeature></install></object-data></domain-object></manifest>"));
  ASSERT_EQ(sample.runIgnitor(installArguments(sample.updateSite())).exitStatus, 0);
  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature("com.zantec.orrery", std::nullopt), "6.2.2");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.core"), "6.2.2");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.ui"), "-1");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.docs"), "-1");
  EXPECT_EQ(testing::readFile(sample.rcp("eclipse/features/com.zantec.orrery.core_6.2.2.jar")),
            "core 6.2.2");
  for (const char* gone : {"com.zantec.orrery.core_6.2.1.jar", "com.zantec.orrery.ui_6.2.1.jar"}) {
    EXPECT_FALSE(testing::readFile(sample.rcp("eclipse/features/") + gone).has_value()) << gone;
  }
  EXPECT_THAT(testing::readFile(sample.rcp("deploy/install.xml")).value_or(""),
              ::testing::Not(HasSubstr("action=")));
}

TEST(IgnitorTest, UnusableManifestsGiveRcOneAndChangeNothing) {
  const std::pair<std::optional<std::string>, std::string> rows[] = {
      {std::nullopt, "The manifest install.update.xml is missing"},
      {"<manifest><open>", "The manifest install.update.xml cannot be parsed"},
  };
  for (const auto& [update, problem] : rows) {
    SampleInstall sample;
    if (update) {
      ASSERT_TRUE(testing::writeFile(sample.rcp("deploy/install.update.xml"), *update));
    }
    const std::optional<std::string> before = testing::readFile(sample.rcp("deploy/install.xml"));
    ASSERT_EQ(sample.runIgnitor(removalArguments()).exitStatus, 0);
    EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=1\n");
    const std::vector<std::string> fields =
        lastLogFields(testing::readFile(sample.logFile()).value_or(""));
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[1], "ERROR");
    EXPECT_EQ(fields[6], "Provisioning failed|-" + problem);
    EXPECT_EQ(testing::readFile(sample.rcp("deploy/install.xml")), before);
  }
}

TEST(IgnitorTest, DataDirectoryIsExpandedAndCreated) {
  testing::ScratchDirectory home("home");
  ProductOptions product;
  product.rcpData = "${env.HOME}/Library/Orrery";
  SampleInstall sample(product);
  ASSERT_EQ(sample.runIgnitor(cleanupArguments(), {{"HOME", home.path()}}).exitStatus, 0);
  EXPECT_THAT(testing::readFile(home / "Library/Orrery/logs/provisioning.log").value_or(""),
              HasSubstr(";0;Cleanup completed|-Nothing to clean up\n"));
}

}  // namespace
}  // namespace rcpinstall::rcpsim
