// A lone --help or --version on every program, and command lines that only look like them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace rcpinstall::testing {
namespace {

TEST(HelpVersionTest, EveryProgramAnswersALoneHelpAndVersion) {
  // The program and the manual page its usage text names ("" for none).
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"patchapply", "patchapply.8"},
      {"patchremove", "patchremove.8"},
      {"featurecheck", "featurecheck.1"},
      {"hotfixcheck", "hotfixcheck.1"},
      {"installer-pane-host", "outcomepane.7"},
      {"rcpsim", ""},
      {"ignitor", ""}};
  for (const auto& [name, page] : rows) {
    SCOPED_TRACE(name);
    const std::string program = binDir() + "/" + name;
    const RunResult help = runProgram({program, "--help"});
    EXPECT_EQ(help.exitStatus, 0) << help.err;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
    if (!page.empty()) {
      const size_t dot = page.rfind('.');
      EXPECT_NE(help.out.find("man " + page.substr(dot + 1) + " " + page.substr(0, dot)),
                std::string::npos)
          << help.out;
      EXPECT_EQ(::access((sourceDir() + "/man/" + page).c_str(), R_OK), 0) << page;
    }
    const RunResult version = runProgram({program, "--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, name + " " RCP_PROJECT_VERSION "\n");
    // Output that cannot be written is a failure.
    EXPECT_EQ(runProgram({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", program}).exitStatus,
              1);
  }
  // Not the single argument: the program's own reading, as before the two options existed.
  const std::vector<std::pair<std::vector<std::string>, int>> others = {
      {{"featurecheck", "-rcphome", "/nonexistent", "-featureID", "--help"}, 0},
      {{"installer-pane-host", "--help", "--non-interactive"}, 2},
      {{"installer-pane-host", "--version", "bundle"}, 2},
      {{"rcpsim", "--version", "x"}, 2}};
  for (auto [argv, status] : others) {
    SCOPED_TRACE(argv[0] + " " + argv[1]);
    argv[0] = binDir() + "/" + argv[0];
    const RunResult run = runProgram(argv);
    EXPECT_EQ(run.exitStatus, status) << run.err;
    EXPECT_EQ(run.out, status == 0 ? "-1" : "");
  }
}

}  // namespace
}  // namespace rcpinstall::testing
