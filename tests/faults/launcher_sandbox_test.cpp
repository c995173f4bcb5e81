// Launchers that fail: missing, not executable, crashing, hanging until killed, or leaving a
// result that is no number. Every install and removal run ends in its failure outcome.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/install_util.h"
#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::PatchApplyScenario;
using apply_scenario::Product;
using testing::readFile;
using testing::RunResult;

constexpr const char* kUnexpected =
    "Unexpected results have occurred during the provisioning operation.For additional "
    "information, please refer to the logs.\n";

struct Case {
  const char* name;
  std::function<void(const Product&)> spoil;
  bool hangs = false;  // the launcher never ends by itself: it is killed after a long wait
};

std::vector<Case> failingLaunchers() {
  const auto fault = [](const char* text) {
    return [text](const Product& p) { p.setFault(text); };
  };
  return {
      {"missing", [](const Product& p) { ::unlink(p.rcp("ignitor").c_str()); }},
      {"not executable", [](const Product& p) { ::chmod(p.rcp("ignitor").c_str(), 0644); }},
      {"a directory",
       [](const Product& p) {
         ::unlink(p.rcp("ignitor").c_str());
         ::mkdir(p.rcp("ignitor").c_str(), 0755);
       }},
      {"a dangling link",
       [](const Product& p) {
         ::unlink(p.rcp("ignitor").c_str());
         EXPECT_EQ(::symlink("/nowhere/ignitor", p.rcp("ignitor").c_str()), 0);
       }},
      {"crashing", fault("crash=true\n")},
      {"hanging", fault("sleep=3600\n"), true},
      {"garbage in .provisioning_rc", fault("garbage=true\n")},
      {"rc not a number", fault("rc=abc\n")},
      {"rc empty", fault("rc=\n")},
      {"rc a sign only", fault("rc=-\n")},
      // Beyond the int range: a narrowing read would take these for 0 and 2.
      {"rc 2^32", fault("rc=4294967296\n")},
      {"rc 2^32 + 2", fault("rc=4294967298\n")},
  };
}

// Launcher processes of the product; the ones running longer than the wait are killed.
class LauncherReaper {
 public:
  explicit LauncherReaper(std::string launcher) : launcher_(std::move(launcher)) {}

  void killThoseOlderThan(std::chrono::milliseconds wait) {
    const auto now = std::chrono::steady_clock::now();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    while (const dirent* entry = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
      if (pid <= 0) continue;
      char target[4096];
      const std::string exe = "/proc/" + std::string(entry->d_name) + "/exe";
      const ssize_t length = ::readlink(exe.c_str(), target, sizeof target);
      if (length <= 0 || std::string(target, static_cast<size_t>(length)) != launcher_) continue;
      const auto [seen, fresh] = firstSeen_.emplace(pid, now);
      if (!fresh && now - seen->second >= wait) {
        ::kill(pid, SIGKILL);
        ++killed_;
      }
    }
    ::closedir(proc);
  }
  int killed() const { return killed_; }

 private:
  std::string launcher_;
  std::map<pid_t, std::chrono::steady_clock::time_point> firstSeen_;
  int killed_ = 0;
};

// Runs the program; a hanging launcher is killed once it has run for a long wait, and the
// tool must still be running then (it has no time limit of its own).
RunResult runWithLauncher(const std::vector<std::string>& argv, const testing::EnvOverrides& env,
                          const Product& product, bool hangs, int expectedKills) {
  std::future<RunResult> run = std::async(std::launch::async, [&] {
    return testing::runProgram(argv, env, std::nullopt, std::nullopt, 120);
  });
  if (!hangs) return run.get();
  LauncherReaper reaper(product.rcp("ignitor"));
  while (run.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    reaper.killThoseOlderThan(std::chrono::seconds(2));
  }
  EXPECT_EQ(reaper.killed(), expectedKills) << "the tool waited for each launcher run";
  return run.get();
}

class FailingLauncher : public PatchApplyScenario {};

TEST_F(FailingLauncher, InstallEndsInFailure) {
  const Canary canary;
  const Package package(scratch_ / "package");
  int index = 0;
  for (const Case& c : failingLaunchers()) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("install-" + std::to_string(index++));
    const Product product(dir + "/Applications");
    c.spoil(product);

    const RunResult run =
        runWithLauncher({testing::binDir() + "/patchapply", package.path, dir + "/Applications"},
                        {{"USER", "alice"}}, product, c.hangs, 1);

    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_EQ(apply_scenario::errorRecordOf("alice"), makeErrorRecord(kNoError, {}));
    const apply_scenario::EntryState marker = apply_scenario::stateOf(apply_scenario::ERROR_MARKER);
    EXPECT_TRUE(marker.exists);
    EXPECT_EQ(marker.mode, 0777u);
    EXPECT_EQ(product.record("hotfixVersion"), std::nullopt) << "no version for a failed run";
    // The hand-off still tells the result pane where to look.
    const std::optional<os::PlistValue> handOff = os::readPlistFile(apply_scenario::HAND_OFF);
    ASSERT_TRUE(handOff);
    ASSERT_NE(handOff->find("pathToRcpHome"), nullptr);
    EXPECT_EQ(*handOff->find("pathToRcpHome"), os::PlistValue(product.rcpHome));
  }
  canary.expectUnchanged();
}

TEST_F(FailingLauncher, RemovalEndsInFailureAndKeepsWhatARetryNeeds) {
  const Canary canary;
  int index = 0;
  for (const Case& c : failingLaunchers()) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratch_ / ("removal-" + std::to_string(index++));
    const Product product(dir, {"--hotfix-version", "1.0.2"});
    c.spoil(product);

    // The removal runs the launcher twice before it reads the result.
    const RunResult run =
        runWithLauncher({testing::binDir() + "/patchremove", "-rcphome", product.platformHome}, {},
                        product, c.hangs, 2);

    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 190) << run.out << run.err;
    EXPECT_EQ(run.out, std::string(kUnexpected) + "Error:190: Unstall provisioning fails.\n");
    EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
    EXPECT_TRUE(readFile(product.deploy("uninstall.hotfix.xml")));
  }
  canary.expectUnchanged();
}

}  // namespace
}  // namespace rcpinstall::faults
