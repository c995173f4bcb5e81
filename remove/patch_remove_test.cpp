#include "remove/patch_remove.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "remove/test_instance.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::LogCapture;
using testing::readFile;
using testing::ScratchDirectory;
using testing::TestInstance;
using testing::writeFile;

using Runs = std::vector<std::vector<std::string>>;

constexpr const char* SUCCESS_LINE = "The provisioning operations have completed successfully.\n";
constexpr const char* UNEXPECTED_LINE =
    "Unexpected results have occurred during the provisioning operation.For additional "
    "information, please refer to the logs.\n";

std::string notFoundLine(const std::string& name) {
  return "File " + name +
         " not found. Provisioning process failed to launch or was terminated before status "
         "could be determined.\n";
}

std::vector<std::string> updateRun() {
  return {"-ignitorWait",
          "-provManifest",
          "-noSplash",
          "-provisioningOperation",
          "update",
          "-nl",
          InstallUtil::getCurrentLocale(),
          "-vmargs",
          "-Dfile.encoding=UTF-8",
          "-Xms32m",
          "-Xmx256m"};
}

const std::vector<std::string> CLEANUP_RUN = {
    "-provManifest", "-ignitorWait",           "-noSplash", "-product",
    "NULL",          "-provisioningOperation", "cleanup"};

// A run that found a result file in place when it started: the second update run finds the
// first one's, which is read after both.
std::vector<std::string> afterResult(std::vector<std::string> run) {
  run.insert(run.begin(), "result present");
  return run;
}

struct Outcome {
  bool removed;
  std::string out;
};

Outcome removeHotfix(const std::optional<std::string>& rcpHome, bool orrery = false) {
  PatchRemove removal(rcpHome);
  ::testing::internal::CaptureStdout();
  const bool removed = orrery ? removal.uninstallOldOrreryHotfix() : removal.uninstallOldHotfix();
  return {removed, ::testing::internal::GetCapturedStdout()};
}

TEST(PatchRemoveTest, MissingRcpHomeAnswersNoAndSaysNothing) {
  ScratchDirectory scratch("remove");
  LogCapture log(scratch / "log");
  for (const std::optional<std::string>& home :
       {std::optional<std::string>(), std::optional<std::string>(scratch / "absent/rcp")}) {
    PatchRemove removal(home);
    EXPECT_FALSE(removal.pathToRcpHome());
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(removal.uninstallOldHotfix());
    EXPECT_FALSE(removal.uninstallOldOrreryHotfix());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_EQ(log.text(), "");
}

TEST(PatchRemoveTest, MissingRemovalManifestIsNamedAndNothingChanges) {
  struct Row {
    const char* what;
    bool orrery;
    bool keepPlainManifest;
    const char* named;
  };
  const Row rows[] = {
      {"plain removal without uninstall.hotfix.xml", false, false, "uninstall.hotfix.xml"},
      {"product removal with only the plain manifest", true, true, "uninstall.orreryhotfix.xml"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch("remove");
    TestInstance instance(scratch.path());
    if (!row.keepPlainManifest) testing::removeTree(instance.deploy("uninstall.hotfix.xml"));
    LogCapture log(scratch / "log");

    const Outcome outcome = removeHotfix(instance.rcpHome(), row.orrery);

    EXPECT_FALSE(outcome.removed);
    const std::string named = instance.deploy(row.named);
    EXPECT_EQ(outcome.out, notFoundLine(named));
    EXPECT_NE(log.text().find("<Error>: " + notFoundLine(named)), std::string::npos) << log.text();
    EXPECT_EQ(instance.launcherRuns(), Runs{});
    EXPECT_EQ(instance.hotfixVersion(), "6.1.0.3");
    EXPECT_FALSE(readFile(instance.deploy("install.update.xml")));
    EXPECT_FALSE(readFile(instance.deploy("install.0101090000.xml")));
    EXPECT_EQ(readFile(instance.rcp("ignitor.properties")),
              "provisioning.manifest.version=0101090000\n");
    EXPECT_EQ(readFile(instance.deploy("uninstall.hotfix.xml")).has_value(), row.keepPlainManifest);
  }
}

TEST(PatchRemoveTest, ManifestThatCannotBeStagedNamesTheStagedFile) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  testing::removeTree(instance.deploy("uninstall.hotfix.xml"));
  ASSERT_EQ(::mkdir(instance.deploy("uninstall.hotfix.xml").c_str(), 0755), 0);

  const Outcome outcome = removeHotfix(instance.rcpHome());

  EXPECT_FALSE(outcome.removed);
  EXPECT_EQ(outcome.out, notFoundLine("install.update.xml"));
  EXPECT_EQ(instance.launcherRuns(), Runs{});
  EXPECT_EQ(instance.hotfixVersion(), "6.1.0.3");
}

TEST(PatchRemoveTest, SuccessfulRemovalRunsUpdateTwiceThenCleanup) {
  struct Row {
    const char* what;
    bool orrery;
    const char* result;
  };
  const Row rows[] = {
      {"plain hotfix, rc 0", false, "rc=0\n"},
      {"plain hotfix, partial results", false, "rc=2\n"},
      {"product hotfix, rc 0", true, "rc=0\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch("remove");
    TestInstance instance(scratch.path());
    const char* manifestName = row.orrery ? "uninstall.orreryhotfix.xml" : "uninstall.hotfix.xml";
    writeFile(instance.deploy(manifestName), TestInstance::REMOVAL_MANIFEST);
    writeFile(instance.resultFile(), "rc=0\n");  // an earlier run's result
    instance.setLauncherResult(row.result);
    LogCapture log(scratch / "log");

    const Outcome outcome = removeHotfix(instance.rcpHome(), row.orrery);

    EXPECT_TRUE(outcome.removed);
    EXPECT_EQ(outcome.out, SUCCESS_LINE);
    EXPECT_EQ(instance.launcherRuns(), (Runs{updateRun(), afterResult(updateRun()), CLEANUP_RUN}));
    EXPECT_FALSE(readFile(instance.deploy(manifestName)));
    EXPECT_FALSE(readFile(instance.resultFile()));
    EXPECT_EQ(readFile(instance.deploy("install.update.xml")), TestInstance::REMOVAL_MANIFEST);
    EXPECT_EQ(readFile(instance.deploy("install.0101090000.xml")), "<install/>\n");
    EXPECT_FALSE(instance.hotfixVersion());
    EXPECT_EQ(instance.installedVersion(), "6.1.0");

    const std::string properties = readFile(instance.rcp("ignitor.properties")).value_or("");
    EXPECT_TRUE(properties.starts_with("provisioning.manifest.version="));
    EXPECT_NE(properties, "provisioning.manifest.version=0101090000\n");
    EXPECT_EQ(properties.size(), std::string("provisioning.manifest.version=0123456789\n").size());

    const std::string logged = log.text();
    EXPECT_NE(logged.find("<Info>: Launching platform to uninstall provisioned features...\n"),
              std::string::npos);
    EXPECT_NE(logged.find("<Info>: Begin to start provisoning system to cleanup features\n"),
              std::string::npos);
    EXPECT_EQ(logged.find(SUCCESS_LINE), std::string::npos) << "printed only";
  }
}

TEST(PatchRemoveTest, FailedProvisioningKeepsWhatARetryNeeds) {
  const std::optional<std::string> results[] = {std::nullopt, "rc=1\n",   "rc=-1\n",
                                                "rc=3\n",     "rc=abc\n", "other=0\n"};
  for (const std::optional<std::string>& result : results) {
    SCOPED_TRACE(result.value_or("no result file"));
    ScratchDirectory scratch("remove");
    TestInstance instance(scratch.path());
    instance.setLauncherResult(result);
    LogCapture log(scratch / "log");

    const Outcome failed = removeHotfix(instance.rcpHome());

    EXPECT_FALSE(failed.removed);
    EXPECT_EQ(failed.out, UNEXPECTED_LINE);
    EXPECT_NE(log.text().find(std::string("<Error>: ") + UNEXPECTED_LINE), std::string::npos);
    const Runs expectedRuns =
        result ? Runs{updateRun(), afterResult(updateRun())} : Runs{updateRun(), updateRun()};
    EXPECT_EQ(instance.launcherRuns(), expectedRuns) << "no cleanup run";
    EXPECT_EQ(readFile(instance.resultFile()), result) << "the result stays as the run left it";
    EXPECT_EQ(readFile(instance.deploy("install.update.xml")), TestInstance::REMOVAL_MANIFEST);
    // The hotfix may still be installed: its record and its removal manifest stay.
    EXPECT_EQ(instance.hotfixVersion(), "6.1.0.3");
    EXPECT_EQ(readFile(instance.deploy("uninstall.hotfix.xml")), TestInstance::REMOVAL_MANIFEST);

    instance.setLauncherResult("rc=0\n");
    const Outcome retried = removeHotfix(instance.rcpHome());
    EXPECT_TRUE(retried.removed);
    EXPECT_EQ(retried.out, SUCCESS_LINE);
    EXPECT_FALSE(instance.hotfixVersion());
  }
}

TEST(PatchRemoveTest, EarlierResultIsNeverTakenForTheOutcome) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  writeFile(instance.resultFile(), "rc=0\n");
  instance.setLauncherResult(std::nullopt);

  const Outcome outcome = removeHotfix(instance.rcpHome());

  EXPECT_FALSE(outcome.removed);
  EXPECT_EQ(outcome.out, UNEXPECTED_LINE);
  EXPECT_EQ(instance.launcherRuns(), (Runs{updateRun(), updateRun()})) << "no stale result seen";
}

TEST(PatchRemoveTest, LauncherThatCannotStartReadsAsFailedRun) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  testing::removeTree(instance.rcp("ignitor"));
  LogCapture log(scratch / "log");

  const Outcome outcome = removeHotfix(instance.rcpHome());

  EXPECT_FALSE(outcome.removed);
  EXPECT_EQ(outcome.out, UNEXPECTED_LINE);
  EXPECT_NE(log.text().find("<Error>: Could not start the platform launcher " +
                            instance.rcp("ignitor") + ".\n"),
            std::string::npos)
      << log.text();
  EXPECT_EQ(instance.hotfixVersion(), "6.1.0.3");
}

TEST(PatchRemoveTest, RemovalIsDoneOnce) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  instance.setLauncherResult("rc=0\n");
  ASSERT_TRUE(removeHotfix(instance.rcpHome()).removed);

  const Outcome again = removeHotfix(instance.rcpHome());

  EXPECT_FALSE(again.removed);
  EXPECT_EQ(again.out, notFoundLine(instance.deploy("uninstall.hotfix.xml")));
  EXPECT_EQ(instance.launcherRuns().size(), 3u);
}

}  // namespace
}  // namespace rcpinstall
