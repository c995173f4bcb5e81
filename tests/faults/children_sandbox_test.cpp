// Fault scenarios of the launcher child and of the preferences read for it: outside texts with
// shell metacharacters reach the launcher as single, unchanged arguments; no descriptor of the
// tools (or inherited by them) reaches the launcher; a preference file that is a link to a
// file only root may read is not read for the invoking user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::installRun;
using apply_scenario::Package;
using apply_scenario::patchapply;
using apply_scenario::Product;
using apply_scenario::Runs;
using testing::readFile;
using testing::RunResult;
using testing::writeFile;

// The descriptor lists the launcher recorded with fds=true, one entry per run.
std::vector<std::string> descriptorLists(const std::string& rcpHome) {
  std::vector<std::string> runs;
  std::string current;
  const std::string text = readFile(rcpHome + "/ignitor.fds").value_or("");
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.empty()) {
      runs.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  return runs;
}

class ChildProcessFaults : public apply_scenario::PatchApplyScenario {};

TEST_F(ChildProcessFaults, PathsWithShellMetacharactersReachTheLauncherUnchanged) {
  Canary canary;
  // Characters a shell would act on, in the package's folder name; the pre-checks refuse
  // ! " ' ; \ # % | = ? but let these through.
  const std::string odd = scratch_ / "pkg $(touch ran) `touch ran2` & *(a)<b>{c,d}[e]~ $HOME";
  ASSERT_EQ(::mkdir(odd.c_str(), 0755), 0);
  Product product(scratch_ / "Applications");
  Package package(odd);

  const RunResult run = patchapply({package.path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(product.launcherRuns(),
            (Runs{installRun("en_US", package.path + "/../../updates/platform")}));
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
  // Nothing was run by a shell in any working directory the tools or launcher use.
  for (const std::string& dir : {scratch_.path(), odd, product.platformHome, product.rcpHome,
                                 std::string("/tmp"), testing::binaryDir()}) {
    EXPECT_FALSE(apply_scenario::stateOf(dir + "/ran").exists) << dir;
    EXPECT_FALSE(apply_scenario::stateOf(dir + "/ran2").exists) << dir;
  }
  canary.expectUnchanged();
}

TEST_F(ChildProcessFaults, NoDescriptorReachesTheLauncher) {
  Canary canary;
  // A descriptor the caller of the tools leaves open without close-on-exec: the tools inherit
  // it, the launcher must not.
  const int inherited = ::open(canary.path().c_str(), O_RDONLY);
  ASSERT_GE(inherited, 3);

  Product product(scratch_ / "Applications", {"--hotfix-version", "1.0.1"});
  Package package(scratch_ / "package");
  product.setFault("fds=true\n");
  // Control: the launcher started straight from here sees the inherited descriptor, so an
  // empty list below means the tools closed it, not that nothing was passed on.
  const RunResult direct =
      testing::runProgram({product.rcp("ignitor"), "-provManifest", "-ignitorWait", "-noSplash",
                           "-product", "NULL", "-provisioningOperation", "cleanup"});
  EXPECT_EQ(direct.exitStatus, 0) << direct.err;
  const std::vector<std::string> directRuns = descriptorLists(product.rcpHome);
  ASSERT_EQ(directRuns.size(), 1u);
  EXPECT_NE(directRuns[0].find(std::to_string(inherited) + " " + canary.path() + "\n"),
            std::string::npos)
      << directRuns[0];
  testing::removeTree(product.rcp("ignitor.fds"));
  testing::removeTree(product.rcp("ignitor.calls"));
  testing::removeTree(product.platformHome + "/.provisioning_rc");

  const RunResult run = patchapply({package.path, scratch_ / "Applications"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  // The earlier hotfix is removed first (two updates and a cleanup), then the install runs.
  const std::vector<std::string> installRuns = descriptorLists(product.rcpHome);
  EXPECT_EQ(installRuns, std::vector<std::string>(4, ""))
      << readFile(product.rcp("ignitor.fds")).value_or("");

  // The removal tool and its library, as root, with the same inherited descriptor. The
  // launcher now runs as alice, who owns the record but may not add names to the rcp home.
  ASSERT_TRUE(testing::writeFile(product.rcp("ignitor.fds"), "", 0775));
  const RunResult removal =
      testing::runProgram({testing::binDir() + "/patchremove", "-rcphome", product.platformHome});
  EXPECT_EQ(removal.exitStatus, 0) << removal.out << removal.err;
  EXPECT_EQ(descriptorLists(product.rcpHome), std::vector<std::string>(3, ""))
      << readFile(product.rcp("ignitor.fds")).value_or("");

  ::close(inherited);
  canary.expectUnchanged();
}

// alice's global preferences are a link to a file she may not read that names another locale.
// The rows differ in what would let the read through if the switch kept it: root's user id,
// root's effective group, or a supplementary group of root.
TEST_F(ChildProcessFaults, PreferenceLinkToARootOnlyFileIsNotRead) {
  struct Case {
    const char* name;
    mode_t mode;
    gid_t group;
    std::vector<gid_t> rootGroups;  // supplementary groups of the calling process
    const char* locale;             // what the launcher is given
  };
  const gid_t daemon = 1;
  const std::vector<Case> cases = {
      {"readable by root only", 0600, 0, {0}, "en_US"},
      {"readable through the group root", 0640, 0, {0}, "en_US"},
      {"readable through a supplementary group of root", 0640, daemon, {0, daemon}, "en_US"},
  };
  std::vector<gid_t> groupsBefore(static_cast<size_t>(::getgroups(0, nullptr)));
  groupsBefore.resize(
      static_cast<size_t>(::getgroups(static_cast<int>(groupsBefore.size()), groupsBefore.data())));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    Canary canary;
    os::PlistValue secretLocale;
    secretLocale.set("AppleLocale", "de_DE");
    ASSERT_TRUE(os::writePlistFile(canary.directory() + "/prefs.plist", secretLocale));
    const std::string secret = canary.directory() + "/prefs.plist";
    ASSERT_EQ(::chown(secret.c_str(), 0, c.group), 0);
    ASSERT_EQ(::chmod(secret.c_str(), c.mode), 0);
    // alice may pass through the canary's directory, so only the file's own mode guards it.
    ASSERT_EQ(::chmod(canary.directory().c_str(), 0711), 0);
    os::PlistValue own;
    own.set("AppleLocale", "fr_FR");
    apply_scenario::setPreferences("alice", ".GlobalPreferences.plist", own);
    const std::string prefs = "/home/alice/Library/Preferences/.GlobalPreferences.plist";
    ASSERT_EQ(::unlink(prefs.c_str()), 0);
    ASSERT_EQ(::symlink(secret.c_str(), prefs.c_str()), 0);

    const testing::ScratchDirectory dir("children-prefs", 0755);
    Product product(dir / "Applications");
    Package package(dir / "package");
    ASSERT_EQ(::setgroups(c.rootGroups.size(), c.rootGroups.data()), 0);
    const RunResult run = patchapply({package.path, dir / "Applications"});
    ASSERT_EQ(::setgroups(groupsBefore.size(), groupsBefore.data()), 0);

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    // The locale of an unreadable preference file is the default one, never de_DE.
    EXPECT_EQ(product.launcherRuns(),
              (Runs{installRun(c.locale, package.path + "/../../updates/platform")}));
    EXPECT_EQ(::chmod(canary.directory().c_str(), 0700), 0);
    canary.expectUnchanged();
  }
}

}  // namespace
}  // namespace rcpinstall::faults
