#include "rcpsim/ignitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
using ::testing::Not;

using Kind = LauncherRun::Kind;

std::vector<std::string> with(std::vector<std::string> args, size_t index, std::string value) {
  args[index] = std::move(value);
  return args;
}

std::vector<std::string> without(std::vector<std::string> args, size_t index) {
  args.erase(args.begin() + static_cast<std::ptrdiff_t>(index));
  return args;
}

TEST(IgnitorTest, CommandLines) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::optional<Kind> kind;
  };
  const std::vector<std::string> install = installArguments("/pkg/../../updates/platform");
  const std::vector<std::string> removal = removalArguments("de_DE");
  std::vector<std::string> extra = removal;
  extra.push_back("-clean");
  const Row rows[] = {
      {"install", install, Kind::InstallUpdate},
      {"removal update", removal, Kind::RemovalUpdate},
      {"cleanup", cleanupArguments(), Kind::Cleanup},
      {"nothing", {}, std::nullopt},
      {"install without the heap options", without(without(install, 12), 11), std::nullopt},
      {"install without a site", with(install, 10, "-DprovUpdateSiteListOverride=file:"),
       std::nullopt},
      {"site that is no file: location",
       with(install, 10, "-DprovUpdateSiteListOverride=http://x/site"), std::nullopt},
      {"install with operation cleanup", with(install, 9, "-DprovisioningOperation=cleanup"),
       std::nullopt},
      {"no locale", with(removal, 6, ""), std::nullopt},
      {"option in place of the locale", with(removal, 6, "-vmargs"), std::nullopt},
      {"removal with one more argument", extra, std::nullopt},
      {"removal reordered", with(with(removal, 0, "-provManifest"), 1, "-ignitorWait"),
       std::nullopt},
      {"update operation install", with(removal, 4, "install"), std::nullopt},
      {"cleanup of another product", with(cleanupArguments(), 4, "Orrery"), std::nullopt},
      {"cleanup in update order", with(cleanupArguments(), 0, "-ignitorWait"), std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<LauncherRun> run = parseLauncherArguments(row.args);
    ASSERT_EQ(run.has_value(), row.kind.has_value()) << row.name;
    if (!run) continue;
    EXPECT_EQ(run->kind, *row.kind) << row.name;
  }
  EXPECT_EQ(parseLauncherArguments(install)->updateSite, "/pkg/../../updates/platform");
  EXPECT_EQ(parseLauncherArguments(install)->locale, "en_US");
  EXPECT_EQ(parseLauncherArguments(removal)->locale, "de_DE");
  EXPECT_EQ(parseLauncherArguments(removal)->updateSite, std::nullopt);
}

TEST(IgnitorTest, FileLocations) {
  EXPECT_EQ(pathOfFileLocation("file:/Volumes/Disk/x.jar"), "/Volumes/Disk/x.jar");
  EXPECT_EQ(pathOfFileLocation("file:///Volumes/Disk/x.jar"), "/Volumes/Disk/x.jar");
  EXPECT_EQ(pathOfFileLocation("file:relative/x"), "relative/x");
  EXPECT_EQ(pathOfFileLocation("http://example.com/x.jar"), std::nullopt);
  EXPECT_EQ(pathOfFileLocation("/plain/path"), std::nullopt);
}

TEST(IgnitorTest, RefusedCommandLineLeavesNoResultButIsRecorded) {
  SampleInstall sample;
  ASSERT_TRUE(testing::writeFile(sample.resultFile() + ".keep", ""));
  const testing::RunResult run = sample.runIgnitor({"-provisioningOperation", "update"});
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_FALSE(testing::readFile(sample.resultFile()).has_value());
  EXPECT_FALSE(testing::readFile(sample.logFile()).has_value());
  EXPECT_THAT(readIgnitorCalls(sample.rcp("ignitor.calls")),
              ElementsAre(ElementsAre(sample.rcp("ignitor"), "-provisioningOperation", "update")));
}

TEST(IgnitorTest, InstallRunAppliesTheStagedManifest) {
  SampleInstall sample;
  // The manifest as staging leaves it: installer root replaced by the package location.
  ASSERT_TRUE(testing::writeFile(
      sample.rcp("deploy/install.update.xml"),
      hotfixInstallManifest("1.0.2", defaultHotfixFeatures("1.0.2"), /*urls=*/false)));
  const testing::RunResult run = sample.runIgnitor(installArguments(sample.updateSite()));
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt), "1.0.2");
  for (const auto& [id, version] : defaultHotfixFeatures("1.0.2")) {
    EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, id), version) << id;
    EXPECT_EQ(testing::readFile(sample.rcp("eclipse/features/" + id + "_" + version + ".jar")),
              "feature " + id + " " + version + "\n");
  }
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.core"), "6.2.1");

  const std::string log = testing::readFile(sample.logFile()).value_or("");
  const std::vector<std::string> fields = lastLogFields(log);
  ASSERT_EQ(fields.size(), 7u) << log;
  EXPECT_THAT(fields[0], ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}"));
  EXPECT_THAT(std::vector<std::string>(fields.begin() + 1, fields.end()),
              ElementsAre("INFO", "provisioning", "update", "0101260000", "0",
                          "Provisioning completed|-3 features installed|Restart the product"));
}

TEST(IgnitorTest, UnfetchableFeaturesGivePartialResults) {
  HotfixOptions hotfix;
  hotfix.unfetchable = {"com.zantec.orrery.fix.ui"};
  SampleInstall sample({}, hotfix);
  ASSERT_TRUE(testing::writeFile(
      sample.rcp("deploy/install.update.xml"),
      hotfixInstallManifest("1.0.2", defaultHotfixFeatures("1.0.2"), /*urls=*/false)));
  ASSERT_EQ(sample.runIgnitor(installArguments(sample.updateSite())).exitStatus, 0);
  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=2\n");
  const std::vector<std::string> fields =
      lastLogFields(testing::readFile(sample.logFile()).value_or(""));
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[5], "2");
  EXPECT_EQ(fields[6],
            "Provisioning completed with partial results|-2 features installed|-Not fetched: "
            "com.zantec.orrery.fix.ui 1.0.2|Restart the product");
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.fix.ui"), "-1");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.fix.core"), "1.0.2");
}

TEST(IgnitorTest, RemovalRunTakesTheHotfixOut) {
  ProductOptions product;
  product.hotfixVersion = "1.0.1";
  SampleInstall sample(product);
  const std::string feature = sample.rcp("eclipse/features/com.zantec.orrery.fix.core_1.0.1.jar");
  ASSERT_TRUE(testing::readFile(feature).has_value());
  ASSERT_TRUE(
      testing::writeFile(sample.rcp("deploy/install.update.xml"),
                         testing::readFile(sample.rcp("deploy/uninstall.hotfix.xml")).value()));
  for (int i = 0; i < 2; ++i) {  // the removal runs the update twice; the second finds nothing
    ASSERT_EQ(sample.runIgnitor(removalArguments()).exitStatus, 0);
    EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
  }
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt), "-1");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.core"), "6.2.1");
  EXPECT_FALSE(testing::readFile(feature).has_value());
  const std::string log = testing::readFile(sample.logFile()).value_or("");
  EXPECT_THAT(log, HasSubstr(";0;Provisioning completed|-0 features installed|-3 features "
                             "removed|Restart the product\n"));

  ASSERT_EQ(sample.runIgnitor(cleanupArguments()).exitStatus, 0);
  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
  EXPECT_FALSE(testing::readFile(sample.rcp("deploy/install.update.xml")).has_value());
  EXPECT_EQ(lastLogFields(testing::readFile(sample.logFile()).value_or("")).at(6),
            "Cleanup completed|-Removed install.update.xml");
  EXPECT_EQ(readIgnitorCalls(sample.rcp("ignitor.calls")).size(), 3u);
}

TEST(IgnitorTest, FeaturesWithAnActionInsideAnInstallFeature) {
  SampleInstall sample;
  const std::string site = sample.updateSite();
  ASSERT_TRUE(
      testing::writeFile(site + "/features/com.zantec.orrery.core_6.2.2.jar", "core 6.2.2"));
  ASSERT_TRUE(testing::writeFile(
      sample.rcp("deploy/install.update.xml"),
      "<manifest><domain-object><object-data><install>"
      "<installfeature id=\"com.zantec.orrery\" version=\"6.2.2\"><requirements>"
      "<feature id=\"com.zantec.orrery.ui\" version=\"6.2.1\" action=\"uninstall\"/>"
      "<feature id=\"com.zantec.orrery.core\" version=\"6.2.2\" action=\"install\"/>"
      "<feature id=\"com.zantec.orrery.docs\" version=\"1\" action=\"Install\"/>"
      "</requirements></installfeature>"
      "</install></object-data></domain-object></manifest>"));
  ASSERT_EQ(sample.runIgnitor(installArguments(site)).exitStatus, 0);
  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
  const InstallManifest manifest(sample.rcp("deploy/install.xml"));
  EXPECT_EQ(manifest.checkInstalledFeature("com.zantec.orrery", std::nullopt), "6.2.2");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.core"), "6.2.2");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.ui"), "-1");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.orrery.docs"), "-1");
  const std::string features = sample.rcp("eclipse/features/");
  EXPECT_EQ(testing::readFile(features + "com.zantec.orrery.core_6.2.2.jar"), "core 6.2.2");
  EXPECT_FALSE(testing::readFile(features + "com.zantec.orrery.core_6.2.1.jar").has_value());
  EXPECT_FALSE(testing::readFile(features + "com.zantec.orrery.ui_6.2.1.jar").has_value());
  // The staged manifest's "action" is not carried into the instance's manifest.
  EXPECT_THAT(testing::readFile(sample.rcp("deploy/install.xml")).value_or(""),
              Not(HasSubstr("action=")));
}

TEST(IgnitorTest, UnusableManifestsGiveRcOne) {
  struct Row {
    const char* name;
    std::optional<std::string> update;
    std::optional<std::string> install;  // none: the sample's own
    std::string message;
  };
  const std::string good = hotfixInstallManifest("1.0.2", defaultHotfixFeatures("1.0.2"), true);
  const Row rows[] = {
      {"no staged manifest", std::nullopt, std::nullopt,
       "Provisioning failed|-The manifest install.update.xml is missing"},
      {"staged manifest not XML", "<manifest><open>", std::nullopt,
       "Provisioning failed|-The manifest install.update.xml cannot be parsed"},
      {"staged manifest without levels", "<manifest/>", std::nullopt,
       "Provisioning failed|-The manifest install.update.xml holds no install element"},
      {"instance manifest not XML", good, "garbage <",
       "Provisioning failed|-The install manifest install.xml cannot be parsed"},
  };
  for (const Row& row : rows) {
    SampleInstall sample;
    if (row.update) {
      ASSERT_TRUE(testing::writeFile(sample.rcp("deploy/install.update.xml"), *row.update));
    }
    if (row.install) {
      ASSERT_TRUE(testing::writeFile(sample.rcp("deploy/install.xml"), *row.install));
    }
    const std::string before = testing::readFile(sample.rcp("deploy/install.xml")).value_or("");
    ASSERT_EQ(sample.runIgnitor(installArguments(sample.updateSite())).exitStatus, 0) << row.name;
    EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=1\n") << row.name;
    const std::vector<std::string> fields =
        lastLogFields(testing::readFile(sample.logFile()).value_or(""));
    ASSERT_EQ(fields.size(), 7u) << row.name;
    EXPECT_EQ(fields[1], "ERROR");
    EXPECT_EQ(fields[6], row.message);
    EXPECT_EQ(testing::readFile(sample.rcp("deploy/install.xml")), before) << row.name;
  }
}

TEST(IgnitorTest, FaultFileDecidesHowARunEnds) {
  struct Row {
    std::string fault;
    std::optional<std::string> result;  // none: no result file
    bool crashed;
  };
  const Row rows[] = {
      {"rc=1\n", "rc=1\n", false},
      {"rc=abc\n", "rc=abc\n", false},
      {"rc=\n", "rc=\n", false},
      {"result=none\n", std::nullopt, false},
      {"crash=true\n", std::nullopt, true},
      {"garbage=true\n", std::string("\x00\x01\xff\xfe\x00 not a result\x7f", 19), false},
      {"sleep=1\n", "rc=0\n", false},
      {"crash=false\nresult=some\n", "rc=0\n", false},
  };
  for (const Row& row : rows) {
    SampleInstall sample;
    ASSERT_TRUE(
        testing::writeFile(sample.rcp("deploy/install.update.xml"),
                           hotfixInstallManifest("1.0.2", defaultHotfixFeatures("1.0.2"), false)));
    ASSERT_TRUE(testing::writeFile(sample.rcp("ignitor.fault"), row.fault));
    const testing::RunResult run = sample.runIgnitor(installArguments(sample.updateSite()));
    EXPECT_EQ(run.exited, !row.crashed) << row.fault;
    EXPECT_EQ(testing::readFile(sample.resultFile()), row.result) << row.fault;
    // The manifest was applied in every case; only the ending differs.
    EXPECT_EQ(InstallManifest(sample.rcp("deploy/install.xml"))
                  .checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt),
              "1.0.2")
        << row.fault;
  }
}

TEST(IgnitorTest, DataDirectoryIsExpandedAndCreated) {
  testing::ScratchDirectory home("home");
  struct Row {
    std::string rcpData;
    std::string logDirectory;  // "<platform home>" stands for the sample's platform home
  };
  const Row rows[] = {
      {"${rcp.home}/data", "<platform home>/data/logs"},
      {"${env.HOME}/Library/Application Support/Orrery",
       home / "Library/Application Support/Orrery/logs"},
  };
  for (const Row& row : rows) {
    ProductOptions product;
    product.rcpData = row.rcpData;
    SampleInstall sample(product);
    std::string logDirectory = row.logDirectory;
    if (logDirectory.starts_with("<platform home>")) {
      logDirectory.replace(0, 15, sample.product().platformHome);
    }
    ASSERT_EQ(sample.runIgnitor(removalArguments(), {{"HOME", home.path()}}).exitStatus, 0);
    const std::string log = testing::readFile(logDirectory + "/provisioning.log").value_or("");
    EXPECT_THAT(log,
                HasSubstr(";1;Provisioning failed|-The manifest install.update.xml is missing\n"))
        << row.rcpData;
  }
  // Without rcp.data the run still leaves its result.
  ProductOptions product;
  product.without = {"rcp-data"};
  SampleInstall sample(product);
  ASSERT_EQ(sample.runIgnitor(cleanupArguments()).exitStatus, 0);
  EXPECT_EQ(testing::readFile(sample.resultFile()), "rc=0\n");
}

}  // namespace
}  // namespace rcpinstall::rcpsim
