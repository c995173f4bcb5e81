// End-to-end scenarios of the install workflow of patchapply in the sandbox: what it stages
// into the platform, the launcher run it makes, what a failed run still does, the removal of
// an installed hotfix first, and the trace log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using os::PlistValue;

JavaProperties::Table propertiesOf(const std::string& path) {
  return JavaProperties::parse(readFile(path).value_or(""));
}

std::optional<std::string> handOff(const char* key) {
  const std::optional<PlistValue> file = os::readPlistFile(HAND_OFF);
  const PlistValue* value = file ? file->find(key) : nullptr;
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

// Entries below the directory that do not have the owner, group "admin" and mode 0775.
std::vector<std::string> notRepairedBelow(const std::string& dir, const std::string& owner) {
  std::vector<std::string> wrong;
  for (const auto& [path, description] : snapshot(dir)) {
    const EntryState state = stateOf(path);
    if (state.owner != owner || state.group != "admin" || state.mode != 0775) {
      wrong.push_back(path + " " + state.owner + ":" + state.group + " " +
                      std::to_string(state.mode));
    }
  }
  return wrong;
}

// The messages of the trace log, each as "<Level>: text".
std::vector<std::string> traceMessages() {
  std::vector<std::string> messages;
  std::istringstream lines(readFile(TRACE_LOG).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const size_t level = line.find("] <");
    if (level != std::string::npos) messages.push_back(line.substr(level + 2));
  }
  return messages;
}

// Whether the expected messages appear in the trace, in this order (others may lie between).
::testing::AssertionResult inOrder(const std::vector<std::string>& trace,
                                   const std::vector<std::string>& expected) {
  auto at = trace.begin();
  for (const std::string& message : expected) {
    at = std::find(at, trace.end(), message);
    if (at == trace.end()) {
      std::string all;
      for (const std::string& line : trace) all += "\n  " + line;
      return ::testing::AssertionFailure()
             << "missing or out of order: \"" << message << "\" in" << all;
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

void traceFor(const std::string& user) {
  PlistValue traceOn;
  traceOn.set("com.zantec.rcp.install.mac.traceEnable", true);
  setPreferences(user, "com.zantec.rcp.install.mac.plist", traceOn);
}

class PatchApplyWorkflow : public PatchApplyScenario {};

// On a terminal each step is announced as it starts, the launcher runs counted across the
// removal and the install.
TEST_F(PatchApplyWorkflow, ProgressOnATerminal) {
  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to give a terminal";
  const Product product(scratch_ / "Applications", {"--hotfix-version", "1.0.1"});
  const Package package(scratch_ / "package");
  const RunResult run = testing::runProgram(
      {"/usr/bin/script", "-qec",
       testing::binDir() + "/patchapply '" + package.path + "' '" + scratch_ / "Applications'",
       "/dev/null"},
      {{"USER", "alice"}});
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  size_t at = 0;
  for (const char* line :
       {"s stage the removal manifest", "s run the removal, launcher runs 1 to 2",
        "s run the cleanup, launcher run 3", "s stage the install manifest",
        "s run the install, launcher run 4", "s hand off to the result pane"}) {
    at = run.out.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << run.out;
  }
}

TEST_F(PatchApplyWorkflow, InstallStagesTheHotfixRunsTheLauncherAndHandsOff) {
  const Product product(scratch_ / "Applications");
  const Package package(scratch_ / "package");
  const std::string installedBefore = readFile(product.deploy("install.xml")).value_or("");
  ASSERT_TRUE(writeFile(product.deploy(".KeyStore.old"), "old keystore\n"));
  ASSERT_EQ(::mkdir(product.deploy("extras").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(product.deploy("extras/kept.txt"), "kept\n"));
  ASSERT_TRUE(writeFile(QEL_CONFIG, "stale\n"));
  {
    PlistValue earlier;
    earlier.set("otherKey", "kept");
    ASSERT_TRUE(os::writePlistFile(HAND_OFF, earlier));
  }
  PlistValue locale;
  locale.set("AppleLocale", "fr_FR");
  setPreferences("alice", ".GlobalPreferences.plist", locale);
  traceFor("alice");

  const RunResult run = patchapply({package.path, scratch_ / "Applications"});

  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(run.err.find("patchapply: "), std::string::npos) << "no progress off a terminal";
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
  EXPECT_FALSE(stateOf(ERROR_MARKER).exists);

  // The launcher ran once, with the 13 arguments of an install; the locale is alice's.
  EXPECT_EQ(product.launcherRuns(),
            (Runs{installRun("fr_FR", package.path + "/../../updates/platform")}));

  // The staged request points at the package's own files.
  const std::string staged = readFile(product.deploy("install.update.xml")).value_or("");
  EXPECT_EQ(staged.find("${installer.root}"), std::string::npos) << staged;
  EXPECT_NE(staged.find("url=\"file:" + package.path +
                        "/../../updates/platform/features/com.zantec.orrery.fix.core_1.0.2.jar\""),
            std::string::npos)
      << staged;
  EXPECT_EQ(readFile(product.deploy("uninstall.hotfix.xml")),
            readFile(package.deploy("uninstall.hotfix.xml")));
  EXPECT_EQ(readFile(product.deploy("install.0101260000.xml")), installedBefore)
      << "backup named for the previous manifest version";

  const JavaProperties::Table launcher = propertiesOf(product.rcp("ignitor.properties"));
  const std::string version = launcher.at("provisioning.manifest.version");
  EXPECT_EQ(version.size(), 10u);
  EXPECT_TRUE(std::all_of(version.begin(), version.end(), [](char d) {
    return d >= '0' && d <= '9';
  })) << version;
  EXPECT_NE(version, "0101260000");
  EXPECT_EQ(launcher.count("rcp.data"), 1u);

  const JavaProperties::Table customization = propertiesOf(product.rcp("plugin_customization.ini"));
  EXPECT_EQ(customization.at("com.zantec.orrery/level"), "hotfix 1.0.2");
  EXPECT_EQ(customization.at("com.zantec.orrery.hotfix/version"), "1.0.2");
  EXPECT_EQ(customization.at("com.zantec.orrery/autoUpdate"), "true") << "product keys stay";

  EXPECT_EQ(readFile(product.deploy(".keystore")), "hotfix keystore 1.0.2\n");
  EXPECT_FALSE(stateOf(product.deploy(".KeyStore.old")).exists) << "the keystore set is replaced";

  EXPECT_EQ(readFile(product.deploy("extras/readme.txt")), "Hotfix 1.0.2\n");
  EXPECT_EQ(readFile(product.deploy("extras/docs/notes.txt")),
            readFile(package.deploy("extras/docs/notes.txt")));
  EXPECT_EQ(readFile(product.deploy("extras/kept.txt")), "kept\n");

  // Provisioning applied the request, and the new hotfix is on record.
  EXPECT_NE(readFile(product.deploy("install.xml")).value_or("").find("com.zantec.orrery.hotfix"),
            std::string::npos);
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
  EXPECT_EQ(product.record("version"), "6.2.1");

  EXPECT_EQ(notRepairedBelow(product.rcpHome, "alice"), std::vector<std::string>{});
  EXPECT_EQ(notRepairedBelow(product.platformHome + "/workspace", "alice"),
            std::vector<std::string>{});

  EXPECT_EQ(handOff("P_RCPDATA"), launcher.at("rcp.data"));
  EXPECT_EQ(handOff("pathToRcpHome"), product.rcpHome);
  EXPECT_EQ(handOff("otherKey"), "kept");
  EXPECT_FALSE(stateOf(QEL_CONFIG).exists);

  EXPECT_TRUE(inOrder(
      traceMessages(),
      {"<Info>: Begin to install hotfix", "<Info>: Checking unsupported characters",
       "<Info>: Checking platform",
       "<Info>: Checking target platform under " + product.rcpHome + ".",
       "<Info>: Checking whether platform is running.", "<Info>: Checking hotfix version",
       "<Info>: Current hotfix version : 1.0.2 . ", "<Info>: Installed hotfix version : (null) . ",
       "<Info>: Copying install manifest.", "<Info>: Begin to backup install manifest",
       "<Info>: Processing plugin_customization.ini. ", "<Info>: Copying .keystore file.",
       "<Info>: Copying .keystore file.", "<Info>: Copying extras file.",
       "<Info>: Starting provisioning system. ",
       "<Info>: Begin to start provisoning sytem to install features",
       "<Info>: Begin to update new hotfix version"}));
}

TEST_F(PatchApplyWorkflow, FailedProvisioningStillRepairsAndHandsOff) {
  // `restored`: the platform applied nothing, so the product's own keystore, customization
  // and extras are back; otherwise the hotfix's stay and what they replaced is kept.
  struct Case {
    const char* name;
    std::function<void(const Product&)> spoil;
    bool succeeds;
    bool restored = false;
    std::vector<std::string> installed = {};  // rcpsim options: a hotfix installed before
  };
  const auto fail = [](const char* fault) {
    return [fault](const Product& p) { p.setFault(fault); };
  };
  const std::vector<std::string> installed = {"--hotfix-version", "1.0.1"};
  const std::vector<Case> cases = {
      {"rc 1 after applying", fail("rc=1\n"), false},
      {"no result file", fail("result=none\n"), false},
      {"the launcher crashes", fail("crash=true\n"), false},
      {"a damaged result file", fail("garbage=true\n"), false},
      {"no launcher to start", [](const Product& p) { ::unlink(p.rcp("ignitor").c_str()); }, false,
       true},
      {"a success left by an earlier run is not taken for this one",
       [](const Product& p) {
         p.setFault("result=none\n");
         writeFile(p.platformHome + "/.provisioning_rc", "rc=0\n");
       },
       false},
      {"partial results count as success", fail("rc=2\n"), true},
      {"the launcher fails without applying anything", fail("apply=none\n"), false, true},
      {"over 1.0.1, the removal's first run fails", fail("run=1\napply=none\n"), true, false,
       installed},
      {"over 1.0.1, the removal's second run fails", fail("run=2\napply=none\n"), true, false,
       installed},
      {"over 1.0.1, the cleanup fails", fail("run=3\napply=none\n"), true, false, installed},
      {"over 1.0.1, the install's run fails", fail("run=4\napply=none\n"), false, true, installed},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("case-" + std::to_string(index++));
    const Product product(dir + "/Applications", c.installed);
    c.spoil(product);

    const RunResult run = patchapply({Package(dir + "/package").path, dir + "/Applications"});

    EXPECT_EQ(run.exitStatus, c.succeeds ? 0 : 1) << run.out << run.err;
    EXPECT_EQ(product.record("hotfixVersion"),
              c.succeeds ? std::optional<std::string>("1.0.2") : std::nullopt);
    EXPECT_EQ(stateOf(ERROR_MARKER).exists, !c.succeeds);
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError)) << "the pane reports the run";
    EXPECT_EQ(notRepairedBelow(product.rcpHome, "alice"), std::vector<std::string>{});
    EXPECT_EQ(handOff("pathToRcpHome"), product.rcpHome);
    EXPECT_TRUE(handOff("P_RCPDATA"));
    EXPECT_EQ(readFile(product.deploy(".keystore")),
              c.restored ? "product keystore\n" : "hotfix keystore 1.0.2\n");
    EXPECT_EQ(propertiesOf(product.rcp("plugin_customization.ini")).at("com.zantec.orrery/level"),
              c.restored ? "product" : "hotfix 1.0.2");
    EXPECT_EQ(stateOf(product.deploy("extras/readme.txt")).exists, !c.restored);
    const RunResult status = testing::runProgram(
        {testing::binDir() + "/hotfixcheck", "status", "--json", product.platformHome});
    nlohmann::json report = nlohmann::json::parse(status.out, nullptr, false);
    nlohmann::json backups = report.is_object() ? report["installBackups"] : nlohmann::json();
    for (nlohmann::json& backup : backups) backup.erase("made");
    EXPECT_EQ(backups, nlohmann::json::array({nlohmann::json{
                           {"name", "1"},
                           {"path", product.rcp("hotfix-backups/1")},
                           {"replaced", {"plugin_customization.ini", "deploy/.keystore"}},
                           {"added", {"deploy/extras"}}}}))
        << status.out;
  }
}

TEST_F(PatchApplyWorkflow, HandOffWithoutDataDirectoryHasOnlyTheRcpHome) {
  const Product product(scratch_ / "Applications", {"--without", "rcp-data"});
  ASSERT_EQ(propertiesOf(product.rcp("ignitor.properties")).count("rcp.data"), 0u);
  {
    PlistValue earlier;
    earlier.set("P_RCPDATA", "/from/an/earlier/install");
    ASSERT_TRUE(os::writePlistFile(HAND_OFF, earlier));
  }

  patchapply({Package(scratch_ / "package").path, scratch_ / "Applications"});

  EXPECT_EQ(handOff("P_RCPDATA"), std::nullopt);
  EXPECT_EQ(handOff("pathToRcpHome"), product.rcpHome);
}

TEST_F(PatchApplyWorkflow, InstalledHotfixIsRemovedFirst) {
  struct Case {
    const char* installed;
    const char* package;
  };
  // The same version is removed and installed again.
  for (const Case& c : {Case{"1.0.1", "1.0.2"}, Case{"1.0.2", "1.0.2"}}) {
    SCOPED_TRACE(std::string(c.installed) + " -> " + c.package);
    clearMachine();
    ScratchDirectory dir("upgrade");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const Product product(dir / "Applications", {"--hotfix-version", c.installed});
    const Package package(dir / "package", {"--version", c.package});

    const RunResult run = patchapply({package.path, dir / "Applications"});

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(product.launcherRuns(),
              (Runs{removalRun(), removalRun(), cleanupRun(),
                    installRun("en_US", package.path + "/../../updates/platform")}));
    EXPECT_EQ(product.record("hotfixVersion"), c.package);
    EXPECT_EQ(readFile(product.deploy("uninstall.hotfix.xml")),
              readFile(package.deploy("uninstall.hotfix.xml")))
        << "the new hotfix's removal manifest";
    const std::string installed = readFile(product.deploy("install.xml")).value_or("");
    EXPECT_NE(installed.find("version=\"" + std::string(c.package) + "\""), std::string::npos);
    if (std::string(c.installed) != c.package) {
      EXPECT_EQ(installed.find("version=\"" + std::string(c.installed) + "\""), std::string::npos)
          << installed;
    }
    EXPECT_FALSE(stateOf(TRACE_LOG).exists) << "tracing is off unless asked for";
  }
}

TEST_F(PatchApplyWorkflow, OlderPackageRunsNothingAndTracesWhy) {
  const Product product(scratch_ / "Applications", {"--hotfix-version", "2.0"});
  traceFor("alice");

  const RunResult run = patchapply(
      {Package(scratch_ / "package", {"--version", "10.0"}).path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(product.launcherRuns(), Runs{});
  EXPECT_EQ(product.record("hotfixVersion"), "2.0");
  EXPECT_TRUE(inOrder(traceMessages(), {"<Info>: Checking hotfix version",
                                        "<Info>: Current hotfix version : 10.0 . ",
                                        "<Info>: Installed hotfix version : 2.0 . ",
                                        "<Error>: High hotfix version has been installed "}));
  EXPECT_FALSE(stateOf(HAND_OFF).exists);
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
