// End-to-end scenarios of the removal tool patchremove and of libpatchremove.so, run inside
// the sandbox: the built programs on sample products laid out by rcpsim, with the simulated
// launcher.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "os/plist_value.h"
#include "os/user_identity.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::RunResult;
using testing::ScratchDirectory;
using testing::writeFile;
using Runs = std::vector<std::vector<std::string>>;

constexpr const char* REGISTRY_DIR = "/Library/Application Support/Fernhollow/Orrery";
constexpr const char* DEFAULT_BUNDLE = "/Applications/Orrery.app";
constexpr const char* TRACE_LOG = "/tmp/install_trace.log";
constexpr const char* SUCCESS_LINE = "The provisioning operations have completed successfully.\n";
constexpr const char* UNEXPECTED_LINE =
    "Unexpected results have occurred during the provisioning operation.For additional "
    "information, please refer to the logs.\n";
constexpr const char* PERMISSION_LINES =
    "Failed to uninstall this package. Permission denied. To retry the work, please make sure "
    "you belong to admin group and execute this command as root.\nUsage: sudo ./patchremove\n";

std::string notFoundLine(const std::string& path) {
  return "File " + path +
         " not found. Provisioning process failed to launch or was terminated before status "
         "could be determined.\n";
}

// A sample product laid out by rcpsim below dir: <dir>/Orrery.app.
class Product {
 public:
  Product(const std::string& dir, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {testing::binDir() + "/rcpsim", "product", dir, "--ignitor",
                                     testing::binDir() + "/ignitor"};
    argv.insert(argv.end(), options.begin(), options.end());
    const RunResult made = runProgram(argv);
    EXPECT_EQ(made.exitStatus, 0) << made.out << made.err;
    bundle = dir + "/Orrery.app";
    platformHome = bundle + "/Contents/MacOS";
    rcpHome = platformHome + "/rcp";
  }

  std::string deploy(const std::string& name) const { return rcpHome + "/deploy/" + name; }

  // The launcher runs recorded in ignitor.calls, each without its program path.
  Runs launcherRuns() const {
    Runs runs;
    std::istringstream lines(readFile(rcpHome + "/ignitor.calls").value_or(""));
    std::vector<std::string> run;
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) {
        if (!run.empty()) run.erase(run.begin());
        runs.push_back(run);
        run.clear();
      } else {
        run.push_back(line);
      }
    }
    return runs;
  }

  std::optional<std::string> record(const char* key) const {
    const std::optional<os::PlistValue> info = os::readPlistFile(rcpHome + "/installInfo.plist");
    const os::PlistValue* value = info ? info->find(key) : nullptr;
    if (value == nullptr || value->asString() == nullptr) return std::nullopt;
    return *value->asString();
  }

  void setFault(const std::optional<std::string>& fault) const {
    if (fault) {
      writeFile(rcpHome + "/ignitor.fault", *fault);
    } else {
      testing::removeTree(rcpHome + "/ignitor.fault");
    }
  }

  std::string bundle;
  std::string platformHome;
  std::string rcpHome;
};

std::vector<std::string> updateRun() {
  return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
          "-nl",          "en_US",         "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
          "-Xmx256m"};
}

std::vector<std::string> cleanupRun() {
  return {"-provManifest", "-ignitorWait",           "-noSplash", "-product",
          "NULL",          "-provisioningOperation", "cleanup"};
}

RunResult patchremove(const std::vector<std::string>& arguments,
                      const std::optional<std::string>& user = std::nullopt,
                      const testing::EnvOverrides& env = {}) {
  std::vector<std::string> argv = {testing::binDir() + "/patchremove"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, env, user);
}

RunResult client(const std::string& removal, const std::string& platformHome,
                 const std::optional<std::string>& user = std::nullopt) {
  return runProgram({testing::binaryDir() + "/tests/patchremove_client", removal, platformHome}, {},
                    user);
}

// What a refused removal must leave as it was.
void expectUntouched(const Product& product) {
  EXPECT_EQ(product.launcherRuns(), Runs{});
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
  EXPECT_TRUE(readFile(product.deploy("uninstall.hotfix.xml")));
  EXPECT_FALSE(readFile(product.deploy("install.update.xml")));
}

class PatchRemoveScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    RCP_REQUIRE_SANDBOX();
    RCP_REQUIRE_ROOT();
    // Everyone may pass through the scratch folder; what lies inside keeps its own modes.
    ASSERT_EQ(::chmod(scratch_.path().c_str(), 0755), 0);
  }
  // The registry and the default bundle are machine-wide: leave none behind for the next
  // scenario.
  void TearDown() override {
    testing::removeTree("/Library/Application Support");
    testing::removeTree(DEFAULT_BUNDLE);
    testing::removeTree(TRACE_LOG);
    testing::removeTree("/home/alice/Library");
  }

  void writeRegistry(const std::string& oldInstallLocation) {
    ASSERT_EQ(::system(("mkdir -p '" + std::string(REGISTRY_DIR) + "'").c_str()), 0);
    os::PlistValue registry;
    registry.set("pathToProduct", "/Applications/Orrery.app");
    registry.set("oldInstallLocation", oldInstallLocation);
    ASSERT_TRUE(os::writePlistFile(std::string(REGISTRY_DIR) + "/framework.plist", registry));
  }

  Product hotfixedProduct(const std::string& where = "") {
    const std::string dir = where.empty() ? scratch_ / "product" : where;
    return Product(dir, {"--hotfix-version", "1.0.2"});
  }

  ScratchDirectory scratch_{"patchremove"};
};

TEST_F(PatchRemoveScenario, OrdinaryUserIsRefused) {
  const Product product = hotfixedProduct();
  // Alice traces her runs; a refused run must not even start the trace log.
  const std::string prefs = "/home/alice/Library/Preferences";
  ASSERT_EQ(::system(("install -d -o alice -g alice /home/alice/Library " + prefs).c_str()), 0);
  os::PlistValue traceOn;
  traceOn.set("com.zantec.rcp.install.mac.traceEnable", true);
  ASSERT_TRUE(os::writePlistFile(prefs + "/com.zantec.rcp.install.mac.plist", traceOn));
  ASSERT_EQ(::system(("chown -R alice:alice " + prefs).c_str()), 0);

  const RunResult run = patchremove({"-rcphome", product.platformHome}, "alice");

  EXPECT_EQ(run.out, PERMISSION_LINES);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitStatus, 1) << "a refused removal is no success";
  EXPECT_FALSE(readFile(TRACE_LOG));
  expectUntouched(product);
  EXPECT_NE(patchremove({"--help"}).out.find("\n  1    not run as root"), std::string::npos)
      << "the help gives the refusal its status";

  // The same removal by root for alice traces into the log.
  const RunResult traced =
      patchremove({"-rcphome", product.platformHome}, std::nullopt, {{"USER", "alice"}});
  EXPECT_EQ(traced.exitStatus, 0) << traced.out;
  const std::string trace = readFile(TRACE_LOG).value_or("");
  EXPECT_NE(trace.find("<Info>: RCP Home : " + product.platformHome + " .\n"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find("<Info>: Removing hotfix.\n"), std::string::npos) << trace;
}

TEST_F(PatchRemoveScenario, SuccessfulRemoval) {
  const Product product = hotfixedProduct();
  const std::string installedBefore = readFile(product.deploy("install.xml")).value_or("");
  ASSERT_NE(installedBefore.find("com.zantec.orrery.hotfix"), std::string::npos);

  const RunResult run = patchremove({"-rcphome", product.platformHome});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(run.out, SUCCESS_LINE) << "no status message";
  EXPECT_EQ(product.launcherRuns(), (Runs{updateRun(), updateRun(), cleanupRun()}));
  EXPECT_FALSE(readFile(product.deploy("uninstall.hotfix.xml")));
  EXPECT_FALSE(readFile(product.platformHome + "/.provisioning_rc"));
  EXPECT_EQ(product.record("hotfixVersion"), std::nullopt);
  EXPECT_EQ(product.record("version"), "6.2.1");
  EXPECT_EQ(readFile(product.deploy("install.xml")).value_or("").find("com.zantec.orrery.hotfix"),
            std::string::npos)
      << "the provisioning run took the hotfix out";
  EXPECT_TRUE(readFile(product.deploy("install.0101260000.xml"))) << "backup of install.xml";

  // Once removed, there is nothing left to remove.
  const RunResult again = patchremove({"-rcphome", product.platformHome});
  EXPECT_EQ(again.out, notFoundLine(product.deploy("uninstall.hotfix.xml")) +
                           "Error:190: Unstall provisioning fails.\n");
  EXPECT_EQ(again.exitStatus, 190);
}

// A hotfix record that cannot be read holds no version to clear: the removal goes on and
// leaves the damaged file as it was, instead of failing on every retry.
TEST_F(PatchRemoveScenario, RemovalWithAHotfixRecordThatCannotBeRead) {
  for (const char* damaged : {"not a property list", "<plist><array/></plist>"}) {
    SCOPED_TRACE(damaged);
    const Product product = hotfixedProduct(scratch_ / "damaged");
    const std::string record = product.rcpHome + "/installInfo.plist";
    ASSERT_TRUE(writeFile(record, damaged));
    const RunResult run = patchremove({"-rcphome", product.platformHome});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out, SUCCESS_LINE);
    EXPECT_EQ(product.launcherRuns(), (Runs{updateRun(), updateRun(), cleanupRun()}));
    EXPECT_FALSE(readFile(product.deploy("uninstall.hotfix.xml")));
    EXPECT_EQ(readFile(record), damaged);
    testing::removeTree(scratch_ / "damaged");
  }
}

TEST_F(PatchRemoveScenario, PlatformHomeOptionToAMissingDirectory) {
  const RunResult run = patchremove({"-rcphome", scratch_ / "missing/Orrery.app/Contents/MacOS"});
  EXPECT_EQ(run.out, "Error:150: Fail to locate target platform. \n");
  EXPECT_EQ(run.exitStatus, 150);
}

TEST_F(PatchRemoveScenario, PlatformHomeFromTheRegistryWithoutArguments) {
  const Product product = hotfixedProduct();
  writeRegistry(product.platformHome);
  const RunResult run = patchremove({});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(product.launcherRuns().size(), 3u);
  EXPECT_EQ(product.record("hotfixVersion"), std::nullopt);
}

// A slip on the command line never falls back to the registry's or the default product.
TEST_F(PatchRemoveScenario, OtherCommandLinesAreRefusedBeforeAnythingIsTouched) {
  const Product fallback = hotfixedProduct("/Applications");
  writeRegistry(fallback.platformHome);
  const Product other = hotfixedProduct();
  const std::string home = other.platformHome;
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--rcphome", home},
                                             {"-rcpHome", home},
                                             {home},
                                             {"-h"},
                                             {"-rcphome"},
                                             {"-rcphome", home, "extra"},
                                             {"extra", "-rcphome", home},
                                             {"--help", "--version"}}) {
    SCOPED_TRACE(arguments[0]);
    for (const std::optional<std::string>& user : {std::optional<std::string>(), {"alice"}}) {
      const RunResult run = patchremove(arguments, user);
      EXPECT_EQ(run.out, "Usage: patchremove -rcphome <absolute pathToRcphome>\n");
      EXPECT_EQ(run.exitStatus, 1);
    }
    expectUntouched(fallback);
    expectUntouched(other);
  }
}

TEST_F(PatchRemoveScenario, DefaultPlatformHome) {
  const Product product = hotfixedProduct("/Applications");
  writeRegistry(scratch_ / "gone/MacOS");
  const RunResult run = patchremove({});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(product.launcherRuns().size(), 3u);
}

TEST_F(PatchRemoveScenario, NoPlatformHomeAnywhere) {
  writeRegistry(scratch_ / "gone/MacOS");
  const RunResult run = patchremove({});
  EXPECT_EQ(run.out,
            "RCP home of Orrery cannot be determined! \n"
            "Usage: patchremove -rcphome <absolute pathToRcphome>\n");
  EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(PatchRemoveScenario, UnsupportedCharactersInTheLocation) {
  const Product product = hotfixedProduct(scratch_ / "hot#fixes");
  const RunResult run = patchremove({"-rcphome", product.platformHome});
  EXPECT_EQ(run.out, "Error:155: The specified location contains unsupported characters. \n");
  EXPECT_EQ(run.exitStatus, 155);
  expectUntouched(product);
}

TEST_F(PatchRemoveScenario, NoInstalledPlatform) {
  const Product product(scratch_ / "product",
                        {"--hotfix-version", "1.0.2", "--without", "install-manifest"});
  const RunResult run = patchremove({"-rcphome", product.platformHome});
  EXPECT_EQ(run.out, "Error:150: Fail to locate target platform. \n");
  EXPECT_EQ(run.exitStatus, 150);
  expectUntouched(product);
}

TEST_F(PatchRemoveScenario, RunningProduct) {
  const Product product = hotfixedProduct();
  const std::string executable = product.platformHome + "/Orrery";
  ASSERT_TRUE(writeFile(executable, readFile("/bin/sleep").value_or(""), 0755));
  char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("120"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ), 0);

  const RunResult run = patchremove({"-rcphome", product.platformHome});

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(run.out, "Error:170: Platform is running. \n");
  EXPECT_EQ(run.exitStatus, 170);
  expectUntouched(product);
}

TEST_F(PatchRemoveScenario, NoRemovalManifest) {
  const Product product(scratch_ / "product",
                        {"--hotfix-version", "1.0.2", "--without", "uninstall-manifest"});
  const RunResult run = patchremove({"-rcphome", product.platformHome});
  EXPECT_EQ(run.out, notFoundLine(product.deploy("uninstall.hotfix.xml")) +
                         "Error:190: Unstall provisioning fails.\n");
  EXPECT_EQ(run.exitStatus, 190);
  EXPECT_EQ(product.launcherRuns(), Runs{});
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
}

TEST_F(PatchRemoveScenario, FailedProvisioningCanBeRetried) {
  int index = 0;
  for (const char* fault : {"rc=1\n", "result=none\n", "crash=true\n", "garbage=true\n"}) {
    SCOPED_TRACE(fault);
    const Product product = hotfixedProduct(scratch_ / ("product-" + std::to_string(index++)));
    product.setFault(fault);

    const RunResult failed = patchremove({"-rcphome", product.platformHome});

    EXPECT_EQ(failed.out,
              std::string(UNEXPECTED_LINE) + "Error:190: Unstall provisioning fails.\n");
    EXPECT_EQ(failed.exitStatus, 190);
    EXPECT_EQ(product.launcherRuns(), (Runs{updateRun(), updateRun()})) << "no cleanup run";
    EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
    EXPECT_TRUE(readFile(product.deploy("uninstall.hotfix.xml")));

    product.setFault(std::nullopt);
    const RunResult retried = patchremove({"-rcphome", product.platformHome});
    EXPECT_EQ(retried.exitStatus, 0) << retried.out;
    EXPECT_EQ(product.record("hotfixVersion"), std::nullopt);
    EXPECT_FALSE(readFile(product.deploy("uninstall.hotfix.xml")));
  }
}

TEST_F(PatchRemoveScenario, CProgramThroughTheLibrary) {
  const Product plain = hotfixedProduct(scratch_ / "plain");
  const RunResult removed = client("plain", plain.platformHome);
  EXPECT_EQ(removed.out, std::string(SUCCESS_LINE) + "status 0\n") << removed.err;
  EXPECT_EQ(plain.launcherRuns().size(), 3u);
  EXPECT_EQ(plain.record("hotfixVersion"), std::nullopt);

  const Product onlyPlain = hotfixedProduct(scratch_ / "only-plain");
  const RunResult refused = client("orrery", onlyPlain.platformHome);
  EXPECT_EQ(refused.out,
            notFoundLine(onlyPlain.deploy("uninstall.orreryhotfix.xml")) + "status 190\n");
  expectUntouched(onlyPlain);
}

TEST_F(PatchRemoveScenario, EarlierResultThatCannotBeRemovedIsNoOutcome) {
  // Alice owns the platform directory but not the platform home, where root left a result
  // that reads as success. Her removal must not take it for the outcome of its own runs.
  const Product product = hotfixedProduct();
  ASSERT_EQ(::system(("chown -R alice:admin '" + product.rcpHome + "'").c_str()), 0);
  ASSERT_TRUE(writeFile(product.platformHome + "/.provisioning_rc", "rc=0\n"));

  const RunResult run = client("plain", product.platformHome, "alice");

  EXPECT_EQ(run.out, std::string(UNEXPECTED_LINE) + "status 190\n") << run.err;
  EXPECT_EQ(product.launcherRuns(), Runs{});
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
}

}  // namespace
}  // namespace rcpinstall
