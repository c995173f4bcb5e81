// strace cuts patchremove off at each occurrence of every call that changes the file system,
// and patchapply the same way inside the removal of the installed hotfix it makes first: a
// rerun of patchremove then ends with exit status 0 (190 when the removal had made its last
// change: no hotfix is left to remove) and the tree an uninterrupted removal leaves, with no
// temporary and no mark of a change in progress.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tests/faults/killed_runs.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::Product;
using testing::RunResult;

class KilledRemoval : public apply_scenario::PatchApplyScenario {};

TEST_F(KilledRemoval, KilledAtEachChangingCallARerunOfPatchRemoveEndsAsAnUninterruptedRemoval) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (Debian package strace)";
  }
  if (std::system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (ptrace is not allowed in this sandbox)";
  }
  const Package package(scratch_ / "package");
  const std::string original = scratch_ / "original", work = scratch_ / "work";
  const Product product(work, {"--hotfix-version", "1.0.1"});
  ASSERT_EQ(std::system(("cp -a '" + work + "' '" + original + "'").c_str()), 0);
  const std::string launcher = product.rcp("ignitor");
  const std::vector<std::string> patchremove = {testing::binDir() + "/patchremove", "-rcphome",
                                                product.platformHome};
  const auto fresh = [&] {
    clearMachine();
    testing::removeTree(work);
    ASSERT_EQ(std::system(("cp -a '" + original + "' '" + work + "'").c_str()), 0);
  };
  const auto run = [](const std::vector<std::string>& program,
                      const std::vector<std::string>& strace = {}) {
    std::vector<std::string> argv;
    if (!strace.empty()) argv = {"strace", "-qq"};
    argv.insert(argv.end(), strace.begin(), strace.end());
    argv.insert(argv.end(), program.begin(), program.end());
    return testing::runProgram(argv, {{"USER", "alice"}}, std::nullopt, std::nullopt, 60);
  };

  fresh();
  const RunResult uninterrupted = run(patchremove);
  ASSERT_EQ(uninterrupted.exitStatus, 0) << uninterrupted.out << uninterrupted.err;
  const std::map<std::string, std::string> reference = installedTree(work);
  ASSERT_FALSE(product.record("hotfixVersion"));

  struct Row {
    const char* name;
    std::vector<std::string> program;
    // The line of the last call of the removal in the program's trace; empty: its whole run.
    std::string removalEndsAt;
  };
  const std::vector<Row> rows = {
      {"patchremove", patchremove, ""},
      {"patchapply over the installed hotfix, within its removal",
       {testing::binDir() + "/patchapply", package.path, work},
       "\"uninstall.hotfix.xml\""},
  };
  const std::string calls =
      "rename,renameat,renameat2,link,linkat,unlink,unlinkat,open,openat,write,fchown,fchownat,"
      "fchmod,fchmodat,?fchmodat2,mkdir,mkdirat";
  int points = 0;
  int killed = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fresh();
    const std::string trace = scratch_ / "trace";
    ASSERT_EQ(run(row.program, {"-o", trace, "-e", "trace=" + calls}).exitStatus, 0);
    const std::map<std::string, int> counts = callCounts(trace, row.removalEndsAt);
    for (const auto& [call, count] : counts) std::cout << call << " " << count << "  ";
    std::cout << "(" << row.name << ")\n";
    for (const auto& [call, count] : counts) {
      const int kills = std::min(count, 30);
      for (int k = 0; k < kills; ++k) {
        const int when = kills == count ? k + 1 : 1 + k * (count - 1) / (kills - 1);
        SCOPED_TRACE(call + " #" + std::to_string(when) + " of " + std::to_string(count));
        fresh();
        killed += run(row.program, {"-o", "/dev/null", "-e",
                                    "inject=" + call + ":signal=KILL:when=" + std::to_string(when)})
                      .termSignal == SIGKILL;
        waitForLauncher(launcher);
        // Killed after its last change, the removal was complete: the rerun finds no hotfix
        // (190) and changes nothing.
        const bool complete = differences(installedTree(work), reference).empty();
        const RunResult rerun = run(patchremove);
        EXPECT_EQ(rerun.exitStatus, complete ? 190 : 0) << rerun.out << rerun.err;
        EXPECT_EQ(differences(installedTree(work), reference), std::vector<std::string>{});
        EXPECT_EQ(temporaryFilesBelow(work), std::vector<std::string>{});
        ++points;
        if (HasFailure()) return;
      }
    }
  }
  std::cout << points << " kill points, " << killed << " runs killed\n";
  EXPECT_GT(points, 50);
  EXPECT_EQ(killed, points);
}

}  // namespace
}  // namespace rcpinstall::faults
