#include "remove/patch_remove_tool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "os/plist_value.h"
#include "remove/test_instance.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::LogCapture;
using testing::readFile;
using testing::ScratchDirectory;
using testing::TestInstance;
using testing::writeFile;

constexpr const char* SUCCESS_LINE = "The provisioning operations have completed successfully.\n";

TEST(PatchRemoveToolTest, StatusMessages) {
  struct Row {
    int status;
    std::optional<std::string> message;
  };
  const Row rows[] = {
      {0, std::nullopt},
      {1, std::nullopt},
      {150, "Error:150: Fail to locate target platform. \n"},
      {155, "Error:155: The specified location contains unsupported characters. \n"},
      {170, "Error:170: Platform is running. \n"},
      {190, "Error:190: Unstall provisioning fails.\n"},
      {2, std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(statusMessage(row.status), row.message) << row.status;
}

TEST(PatchRemoveToolTest, RcpHomeOption) {
  using Args = std::vector<std::string>;
  struct Row {
    Args arguments;
    std::optional<std::string> value;
    bool actedOn;  // a command line the tool acts on
  };
  const Row rows[] = {
      {{"patchremove"}, std::nullopt, true},
      {{"patchremove", "-rcphome", "/p/MacOS"}, "/p/MacOS", true},
      {{"patchremove", "-rcphome"}, std::nullopt, false},
      {{"patchremove", "extra", "-rcphome", "/p", "more"}, "/p", false},
      {{"patchremove", "-rcphome", "/a", "-rcphome", "/b"}, "/a", false},
      {{"patchremove", "-rcphome", "-rcphome", "/b"}, "-rcphome", false},
      {{"patchremove", "-rcphome", ""}, "", true},
      {{"patchremove", "-RCPHOME", "/p"}, std::nullopt, false},
      {{"patchremove", "--rcphome", "/p"}, std::nullopt, false},
      {{"patchremove", "-rcphome=/p"}, std::nullopt, false},
      {{"-rcphome", "/argv0"}, "/argv0", false},
      {{}, std::nullopt, true},
  };
  int index = 0;
  for (const Row& row : rows) {
    EXPECT_EQ(findRcpHomeOption(row.arguments), row.value) << index;
    EXPECT_EQ(isRemovalCommandLine(row.arguments), row.actedOn) << index++;
  }
}

// A registry for the product under <scratch>/registry, and a default platform home that
// exists or not.
struct Places {
  explicit Places(const ScratchDirectory& scratch) {
    locations.registerDirectory = scratch / "registry";
    locations.defaultPlatformHome = scratch / "Applications/Orrery.app/Contents/MacOS";
    locations.traceLogPath = scratch / "install_trace.log";
  }
  void writeRegistry(const std::optional<std::string>& oldInstallLocation) const {
    ::mkdir(locations.registerDirectory.c_str(), 0755);
    ::mkdir((locations.registerDirectory + "/Orrery").c_str(), 0755);
    os::PlistValue registry;
    registry.set("pathToProduct", "/Applications/Orrery.app");
    if (oldInstallLocation) registry.set("oldInstallLocation", *oldInstallLocation);
    os::writePlistFile(locations.registerDirectory + "/Orrery/framework.plist", registry);
  }
  void makeDefaultHome(const ScratchDirectory& scratch) const {
    for (const char* dir :
         {"Applications", "Applications/Orrery.app", "Applications/Orrery.app/Contents",
          "Applications/Orrery.app/Contents/MacOS"}) {
      ::mkdir((scratch / dir).c_str(), 0755);
    }
  }
  PatchRemoveLocations locations;
};

TEST(PatchRemoveToolTest, PlatformHomeFromOptionRegistryOrDefault) {
  enum Registry { kNone, kExisting, kMissingLocation, kNoLocationKey };
  struct Row {
    const char* what;
    std::vector<std::string> arguments;
    Registry registry;
    bool defaultExists;
    const char* expected;  // "option", "registry", "default" or "none"
  };
  const Row rows[] = {
      {"option wins over registry",
       {"patchremove", "-rcphome", "/nowhere"},
       kExisting,
       true,
       "option"},
      {"option last: registry", {"patchremove", "-rcphome"}, kExisting, true, "registry"},
      {"no option: registry", {"patchremove"}, kExisting, false, "registry"},
      {"registry location gone: default", {"patchremove"}, kMissingLocation, true, "default"},
      {"registry without location: default", {"patchremove"}, kNoLocationKey, true, "default"},
      {"no registry: default", {"patchremove"}, kNone, true, "default"},
      {"registry location gone, no default", {"patchremove"}, kMissingLocation, false, "none"},
      {"nothing at all", {"patchremove", "-rcphome"}, kNone, false, "none"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch("remove");
    Places places(scratch);
    const std::string oldLocation = scratch / "old/MacOS";
    if (row.registry == kExisting) {
      ::mkdir((scratch / "old").c_str(), 0755);
      ::mkdir(oldLocation.c_str(), 0755);
    }
    if (row.registry == kExisting || row.registry == kMissingLocation) {
      places.writeRegistry(oldLocation);
    } else if (row.registry == kNoLocationKey) {
      places.writeRegistry(std::nullopt);
    }
    if (row.defaultExists) places.makeDefaultHome(scratch);

    const std::optional<std::string> home = locatePlatformHome(row.arguments, places.locations);

    const std::string kind = row.expected;
    std::optional<std::string> expected;
    if (kind == "option") expected = "/nowhere";
    if (kind == "registry") expected = oldLocation;
    if (kind == "default") expected = places.locations.defaultPlatformHome;
    EXPECT_EQ(home, expected);
  }
}

// Starts a process whose executable lies inside the bundle; stopped when destroyed.
class RunningProduct {
 public:
  explicit RunningProduct(const std::string& executable) {
    const std::optional<std::string> sleep = readFile("/bin/sleep");
    if (!sleep || !writeFile(executable, *sleep, 0755)) return;
    char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("60"), nullptr};
    if (::posix_spawn(&pid_, executable.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~RunningProduct() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// The state a guarded removal must leave alone when it refuses.
void expectUntouched(const TestInstance& instance) {
  EXPECT_EQ(instance.launcherRuns().size(), 0u);
  EXPECT_EQ(instance.hotfixVersion(), "6.1.0.3");
  EXPECT_TRUE(readFile(instance.deploy("uninstall.hotfix.xml")));
  EXPECT_FALSE(readFile(instance.deploy("install.update.xml")));
  EXPECT_EQ(readFile(instance.rcp("ignitor.properties")),
            "provisioning.manifest.version=0101090000\n");
}

TEST(PatchRemoveToolTest, GuardedRemovalWithoutAPlatform) {
  ScratchDirectory scratch("remove");
  LogCapture log(scratch / "log");
  EXPECT_EQ(uninstallHotfix(std::nullopt, false), kPlatformNotFound);
  EXPECT_EQ(uninstallHotfix(std::string(), false), kPlatformNotFound);
  EXPECT_EQ(uninstallHotfix(scratch / "absent", true), kPlatformNotFound);
  EXPECT_NE(log.text().find("<Info>: RCP Home : (null) .\n"), std::string::npos);
  EXPECT_NE(log.text().find("<Info>: RCP Home : " + scratch / "absent" + " .\n"),
            std::string::npos);
  EXPECT_EQ(log.text().find("Checking"), std::string::npos) << log.text();

  TestInstance notInstalled(scratch.path());
  testing::removeTree(notInstalled.deploy("install.xml"));
  EXPECT_EQ(uninstallHotfix(notInstalled.platformHome(), false), kPlatformNotFound);
  expectUntouched(notInstalled);
}

TEST(PatchRemoveToolTest, GuardedRemovalRefusesUnsupportedLocations) {
  for (const char* directory : {"hot#fix", "a:b", "it's", "100%", "x=y", "why?", "semi;colon"}) {
    SCOPED_TRACE(directory);
    ScratchDirectory scratch("remove");
    const std::string root = scratch / directory;
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    TestInstance instance(root);
    instance.setLauncherResult("rc=0\n");
    EXPECT_EQ(uninstallHotfix(instance.platformHome(), false), kLocationUnsupported);
    expectUntouched(instance);
  }
}

TEST(PatchRemoveToolTest, GuardedRemovalNeedsTheApplicationBundle) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  // The same platform outside any application bundle.
  ASSERT_EQ(::rename((scratch / "Orrery.app").c_str(), (scratch / "Orrery").c_str()), 0);
  const std::string home = scratch / "Orrery/Contents/MacOS";
  EXPECT_EQ(uninstallHotfix(home, false), kBundleNotFound);
  EXPECT_FALSE(readFile(home + "/rcp/ignitor.calls"));
  EXPECT_EQ(uninstallHotfix(home + "/", false), kBundleNotFound);
}

TEST(PatchRemoveToolTest, GuardedRemovalRefusesARunningProduct) {
  ScratchDirectory scratch("remove");
  TestInstance instance(scratch.path());
  instance.setLauncherResult("rc=0\n");
  RunningProduct product(instance.platformHome() + "/Orrery");
  ASSERT_TRUE(product.running());
  EXPECT_EQ(uninstallHotfix(instance.platformHome(), false), kPlatformRunning);
  EXPECT_EQ(uninstallHotfix(instance.platformHome(), true), kPlatformRunning);
  expectUntouched(instance);
}

TEST(PatchRemoveToolTest, GuardedRemovalOutcome) {
  struct Row {
    const char* what;
    bool orrery;
    bool orreryManifest;
    std::optional<std::string> result;
    std::int16_t status;
  };
  const Row rows[] = {
      {"plain hotfix removed", false, false, "rc=0\n", kRemovalSucceeded},
      {"product hotfix removed", true, true, "rc=2\n", kRemovalSucceeded},
      {"product hotfix without its manifest", true, false, "rc=0\n", kRemovalFailed},
      {"provisioning failed", false, false, "rc=1\n", kRemovalFailed},
      {"no result", false, false, std::nullopt, kRemovalFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch("remove");
    TestInstance instance(scratch.path());
    if (row.orreryManifest) {
      writeFile(instance.deploy("uninstall.orreryhotfix.xml"), TestInstance::REMOVAL_MANIFEST);
    }
    instance.setLauncherResult(row.result);
    LogCapture log(scratch / "log");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(uninstallHotfix(instance.platformHome(), row.orrery), row.status);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out == SUCCESS_LINE, row.status == kRemovalSucceeded) << out;
    EXPECT_EQ(instance.hotfixVersion().has_value(), row.status != kRemovalSucceeded);

    // The checks are logged in order, before the removal.
    const std::string logged = log.text();
    size_t at = 0;
    for (const std::string& line : {"<Info>: RCP Home : " + instance.platformHome() + " .\n",
                                    std::string("<Info>: Checking unsupported characters.\n"),
                                    std::string("<Info>: Checking target platform. \n"),
                                    std::string("<Info>: Checking whether platform is running.\n"),
                                    std::string("<Info>: Removing hotfix.\n")}) {
      at = logged.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << " in\n" << logged;
    }
  }
}

}  // namespace
}  // namespace rcpinstall
