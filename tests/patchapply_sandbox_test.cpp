// End-to-end scenarios of the install program patchapply in the sandbox: the outcome of each
// kind of run (error channel, error marker file, exit status), where the product is found,
// and bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using os::PlistValue;

class PatchApplyOutcome : public PatchApplyScenario {};

TEST_F(PatchApplyOutcome, EachKindOfRunLeavesItsCodeMarkerAndStatus) {
  struct Case {
    const char* name;
    // Lays out what the case needs below dir; answers package path and destination.
    std::function<std::pair<std::string, std::string>(const std::string& dir)> setUp;
    int code;
    std::vector<std::string> details;  // "@" stands for the scratch directory of the case
    bool marker;
    int status;
    size_t launcherRuns;
    std::string err;  // the line on standard error, "@" for the scratch directory
  };
  const std::vector<Case> cases = {
      {"unsupported characters in the package path",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/hot#fix").path, dir + "/Applications"};
       },
       kUnsupportedCharacters,
       {},
       false,
       1,
       0,
       "refused (code 3): the package path or the destination holds an unsupported character: "
       "'#' in @/hot#fix/Hotfix.mpkg/Contents/Packages/hotfix.pkg"},
      {"unsupported characters in the destination",
       [](const std::string& dir) {
         Product product(dir + "/Apps;old");
         return std::pair{Package(dir + "/package").path, dir + "/Apps;old"};
       },
       kUnsupportedCharacters,
       {},
       false,
       1,
       0,
       "refused (code 3): the package path or the destination holds an unsupported character: "
       "';' in @/Apps;old"},
      {"no installed platform",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--without", "install-manifest"});
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kInstalledPlatformNotFound,
       {"@/Applications", "Orrery.app"},
       false,
       1,
       0,
       "refused (code 8): no installed platform was found: "
       "@/Applications/Orrery.app/Contents/MacOS/rcp/deploy/install.xml is missing"},
      {"no product at all",
       [](const std::string& dir) {
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kInstalledPlatformNotFound,
       {"@/Applications", "Orrery.app"},
       false,
       1,
       0,
       "refused (code 8): no installed platform was found: "
       "@/Applications/Orrery.app/Contents/MacOS/rcp/deploy/install.xml is missing"},
      {"a higher hotfix is installed (10.0 orders before 2.0)",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "2.0"});
         return std::pair{Package(dir + "/package", {"--version", "10.0"}).path,
                          dir + "/Applications"};
       },
       kHotfixFoundHigherVersion,
       {"@/Applications/Orrery.app"},
       false,
       1,
       0,
       "refused (code 7): a higher hotfix is already installed: @/Applications/Orrery.app has "
       "hotfix 2.0, the package holds 10.0 (versions compare as text)"},
      {"the install manifest is missing",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/package", {"--without", "install-manifest"}).path,
                          dir + "/Applications"};
       },
       kInstallFileNotFound,
       {"@/package/Hotfix.mpkg/Contents/Packages/hotfix.pkg/../deploy/install.hotfix.xml"},
       true,
       1,
       0,
       "refused (code 4): the install manifest is missing from the package, or cannot be read "
       "as one: @/package/Hotfix.mpkg/Contents/Packages/hotfix.pkg/../deploy/install.hotfix.xml"},
      {"the install manifest does not parse: the installed hotfix stays",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "1.0"});
         const Package package(dir + "/package", {"--version", "1.1"});
         writeFile(package.deploy("install.hotfix.xml"), "<install><installfeature");
         return std::pair{package.path, dir + "/Applications"};
       },
       kInstallFileNotFound,
       {"install.hotfix.xml"},
       true,
       1,
       0,
       "refused (code 4): the install manifest is missing from the package, or cannot be read "
       "as one: install.hotfix.xml"},
      {"provisioning fails",
       [](const std::string& dir) {
         Product(dir + "/Applications").setFault("rc=1\n");
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kNoError,
       {},
       true,
       1,
       1,
       "failed: the provisioning run reported no success in "
       "@/Applications/Orrery.app/Contents/MacOS/.provisioning_rc (read the provisioning log in "
       "<rcp.data>/logs and the trace log)"},
      {"an earlier result that cannot be removed (a mount point)",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         const std::string result = product.platformHome + "/.provisioning_rc";
         if (::mkdir(result.c_str(), 0755) != 0 ||
             ::mount("tmpfs", result.c_str(), "tmpfs", 0, "size=64k") != 0) {
           ADD_FAILURE() << "cannot mount over " << result;
         }
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kInstallNotCompleted,
       {"@/Applications/Orrery.app/Contents/MacOS/.provisioning_rc"},
       true,
       1,
       0,
       "failed (code 9): the install could not be completed or recorded: "
       "@/Applications/Orrery.app/Contents/MacOS/.provisioning_rc"},
      {"the hotfix is installed",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kNoError,
       {},
       false,
       0,
       1,
       ""},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("case-" + std::to_string(index++));
    const auto [package, destination] = c.setUp(dir);
    const auto before = snapshot(dir);

    const RunResult run = patchapply({package, destination});
    ::umount2((dir + "/Applications/Orrery.app/Contents/MacOS/.provisioning_rc").c_str(),
              MNT_DETACH);

    EXPECT_EQ(run.exitStatus, c.status) << run.out << run.err;
    std::string err = c.err.empty() ? "" : "patchapply: " + c.err + "\n";
    for (size_t at = err.find('@'); at != std::string::npos; at = err.find('@', at)) {
      err.replace(at, 1, dir);
    }
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.out, "");
    std::vector<std::string> details;
    for (const std::string& detail : c.details) {
      details.push_back(detail[0] == '@' ? dir + detail.substr(1) : detail);
    }
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(c.code, details));
    // A refusal leaves the product (and the package) as it found them.
    if (c.code >= kUnsupportedCharacters && c.code <= kInstalledPlatformNotFound) {
      EXPECT_EQ(snapshot(dir), before);
    }
    const EntryState marker = stateOf(ERROR_MARKER);
    EXPECT_EQ(marker.exists, c.marker);
    if (c.marker) {
      EXPECT_TRUE(marker.regular);
      EXPECT_EQ(marker.size, 0);
      EXPECT_EQ(marker.mode, 0777u);
      EXPECT_EQ(marker.owner, "alice");
      EXPECT_EQ(marker.group, "admin");
    }
    // Each launcher run ends with an empty line in ignitor.calls.
    std::istringstream lines(
        readFile(dir + "/Applications/Orrery.app/Contents/MacOS/rcp/ignitor.calls").value_or(""));
    size_t launched = 0;
    for (std::string line; std::getline(lines, line);) launched += line.empty() ? 1 : 0;
    EXPECT_EQ(launched, c.launcherRuns);
  }
}

TEST_F(PatchApplyOutcome, MarkerOwnerFollowsTheInvokingUser) {
  struct Case {
    testing::EnvOverrides env;
    const char* owner;
  };
  const std::vector<Case> cases = {
      {{{"USER", "bob"}}, "bob"}, {{{"USER", std::nullopt}}, "root"},  // the process's own user
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.owner);
    clearMachine();
    ScratchDirectory dir("owner");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    Product(dir / "Applications").setFault("result=none\n");
    const RunResult run = patchapply({Package(dir / "package").path, dir / "Applications"}, c.env);
    EXPECT_EQ(run.exitStatus, 1);
    const EntryState marker = stateOf(ERROR_MARKER);
    EXPECT_TRUE(marker.exists);
    EXPECT_EQ(marker.owner, c.owner);
    EXPECT_EQ(marker.group, "admin");
    EXPECT_EQ(marker.mode, 0777u);
  }
}

TEST_F(PatchApplyOutcome, MarkerReplacesAPlantedLinkWithoutWritingThroughIt) {
  const std::string victim = scratch_ / "victim";
  ASSERT_TRUE(writeFile(victim, "precious\n", 0600));
  ASSERT_EQ(::symlink(victim.c_str(), ERROR_MARKER), 0);
  Product(scratch_ / "Applications").setFault("rc=1\n");

  const RunResult run = patchapply({Package(scratch_ / "package").path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 1);
  const EntryState marker = stateOf(ERROR_MARKER);
  EXPECT_TRUE(marker.regular) << "the link itself was replaced";
  EXPECT_EQ(readFile(victim), "precious\n");
  const EntryState target = stateOf(victim);
  EXPECT_EQ(target.mode, 0600u);
  EXPECT_EQ(target.owner, "root");
}

TEST_F(PatchApplyOutcome, RefusalLeavesAnEarlierMarkerAndTheProductAlone) {
  ASSERT_TRUE(writeFile(ERROR_MARKER, "from an earlier run\n", 0644));
  const Product product(scratch_ / "Applications", {"--hotfix-version", "2.0"});
  const auto before = snapshot(product.bundle);

  const RunResult run = patchapply(
      {Package(scratch_ / "package", {"--version", "10.0"}).path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(readFile(ERROR_MARKER), "from an earlier run\n") << "a refusal creates no marker";
  EXPECT_EQ(snapshot(product.bundle), before);
}

TEST_F(PatchApplyOutcome, RunningProductIsRefused) {
  const Product product(scratch_ / "Applications", {"--hotfix-version", "1.0.1"});
  const auto before = snapshot(product.bundle);
  // The product's own executable, as the product would run it from its bundle.
  const std::string executable = product.platformHome + "/Orrery";
  ASSERT_TRUE(writeFile(executable, readFile("/bin/sleep").value_or(""), 0755));
  char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("120"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ), 0);

  const RunResult run = patchapply({Package(scratch_ / "package").path, scratch_ / "Applications"});

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  EXPECT_FALSE(stateOf(ERROR_MARKER).exists);
  ::unlink(executable.c_str());
  EXPECT_EQ(snapshot(product.bundle), before) << "no removal, no install";
}

class PatchApplyLocation : public PatchApplyScenario {};

TEST_F(PatchApplyLocation, MultiInstanceInstallsAtTheDestinationWhateverTheRegistrySays) {
  const Product here(scratch_ / "Applications");
  const Product registered(scratch_ / "Registered");
  writeRegistry("Orrery", registered.bundle);

  const RunResult run = patchapply(
      {Package(scratch_ / "package", {"--allow-multi-instance"}).path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(here.record("hotfixVersion"), "1.0.2");
  EXPECT_EQ(registered.record("hotfixVersion"), std::nullopt);
  EXPECT_EQ(registered.launcherRuns(), Runs{});
}

TEST_F(PatchApplyLocation, RegistryWithAnExistingProductReplacesTheDestination) {
  // The registered product may carry another bundle name than the package's bundleName; the
  // install goes where the checks were made.
  for (const char* name : {"Orrery", "Orrery Beta"}) {
    SCOPED_TRACE(name);
    clearMachine();
    ScratchDirectory dir("registry");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const Product atDestination(dir / "Applications");
    const Product registered(dir / "Registered", {}, name);
    writeRegistry("Orrery", registered.bundle);

    const RunResult run = patchapply({Package(dir / "package").path, dir / "Applications"});

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(registered.record("hotfixVersion"), "1.0.2");
    EXPECT_EQ(registered.launcherRuns().size(), 1u);
    EXPECT_EQ(atDestination.launcherRuns(), Runs{});
    EXPECT_EQ(atDestination.record("hotfixVersion"), std::nullopt);
    const std::optional<PlistValue> handOff = os::readPlistFile(HAND_OFF);
    ASSERT_TRUE(handOff);
    EXPECT_EQ(*handOff->find("pathToRcpHome"), PlistValue(registered.rcpHome));
  }
}

TEST_F(PatchApplyLocation, RegistryNamingAMissingPathFallsBackToTheDestination) {
  const Product product(scratch_ / "Applications");
  writeRegistry("Orrery", scratch_ / "Gone/Orrery.app");

  const RunResult run =
      patchapply({Package(scratch_ / "package").path, scratch_ / "Applications/"});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
}

TEST_F(PatchApplyLocation, RegistryWithAMissingProductReportsTheReplacedDestination) {
  const Product registered(scratch_ / "Registered", {"--without", "install-manifest"});
  writeRegistry("Orrery", registered.bundle);

  const RunResult run = patchapply({Package(scratch_ / "package").path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(errorRecordOf("alice"),
            makeErrorRecord(kInstalledPlatformNotFound, {scratch_ / "Registered", "Orrery.app"}));
}

class PatchApplyBadInput : public PatchApplyScenario {};

TEST_F(PatchApplyBadInput, SettingsThatLocateNoProductGiveCodeEightWithTheDestinationOnly) {
  struct Case {
    const char* name;
    std::function<std::string(const Package&)> spoil;  // answers the package path to give
    const char* detail;  // before the settings path in the line on standard error
  };
  const std::vector<Case> cases = {
      {"no settings file",
       [](const Package& p) {
         ::unlink(p.settings().c_str());
         return p.path;
       },
       "missing settings file "},
      {"settings that are no property list",
       [](const Package& p) {
         writeFile(p.settings(), "bundleName = Orrery\n");
         return p.path;
       },
       "settings file that cannot be read, or is empty: "},
      {"settings without bundleName",
       [](const Package& p) {
         PlistValue settings;
         settings.set("version", "1.0.2");
         os::writePlistFile(p.settings(), settings);
         return p.path;
       },
       "settings file without bundleName: "},
      {"a package path that does not exist", [](const Package& p) { return p.path + "x"; },
       "missing settings file "},
      {"settings naming their own rcpHome, and an older version than the installed one",
       [](const Package& p) {
         PlistValue settings;
         settings.set("version", "1.0.0");
         settings.set("rcpHome", p.mpkg + "/../../Applications/Orrery.app/Contents/MacOS/rcp");
         os::writePlistFile(p.settings(), settings);
         return p.path;
       },
       "settings file without bundleName: "},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("case-" + std::to_string(index++));
    const Product product(dir + "/Applications", {"--hotfix-version", "1.0.1"});
    const auto before = snapshot(product.bundle);
    const std::string package = c.spoil(Package(dir + "/package"));

    const RunResult run = patchapply({package, dir + "/Applications"});

    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "patchapply: refused (code 8): no installed platform was found: " +
                           std::string(c.detail) + package + "/Contents/Resources/hotfix.plist\n");
    EXPECT_EQ(errorRecordOf("alice"),
              makeErrorRecord(kInstalledPlatformNotFound, {dir + "/Applications"}));
    EXPECT_FALSE(stateOf(ERROR_MARKER).exists);
    EXPECT_EQ(snapshot(product.bundle), before);
  }
}

TEST_F(PatchApplyBadInput, ManifestThatIsNotXmlStopsBeforeTheLauncher) {
  const Product product(scratch_ / "Applications");
  const Package package(scratch_ / "package");
  ASSERT_TRUE(writeFile(package.deploy("install.hotfix.xml"), "<install><feature id=\"x\""));
  const std::string installed = readFile(product.deploy("install.xml")).value_or("");
  const std::string properties = readFile(product.rcp("ignitor.properties")).value_or("");

  const RunResult run = patchapply({package.path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kInstallFileNotFound, {"install.hotfix.xml"}));
  EXPECT_TRUE(stateOf(ERROR_MARKER).exists);
  EXPECT_EQ(product.launcherRuns(), Runs{});
  EXPECT_EQ(readFile(product.deploy("install.xml")), installed);
  EXPECT_EQ(readFile(product.rcp("ignitor.properties")), properties);
  EXPECT_FALSE(readFile(product.deploy("uninstall.hotfix.xml")));
  EXPECT_EQ(product.record("hotfixVersion"), std::nullopt);
}

TEST_F(PatchApplyBadInput, FewerThanTwoArgumentsPrintUsageAndTouchNothing) {
  // A record left for the result pane by an earlier run stays as it was.
  ASSERT_EQ(::setenv("USER", "alice", 1), 0);
  InstallUtil::initInternalPasteboard(true);
  InstallUtil::sendErrorMessage(makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  ASSERT_EQ(::setenv("USER", "root", 1), 0);
  const Product product(scratch_ / "Applications");

  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{}, {Package(scratch_ / "package").path}}) {
    const RunResult run = patchapply(arguments);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "usage: patchapply <package path> <install destination>\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  EXPECT_FALSE(stateOf(ERROR_MARKER).exists);
  EXPECT_FALSE(stateOf(HAND_OFF).exists);
  EXPECT_EQ(product.launcherRuns(), Runs{});
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
