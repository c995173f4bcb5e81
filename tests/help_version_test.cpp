// --help and --version of every program, and command lines that only look like them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace rcpinstall::testing {
namespace {

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

TEST(HelpVersionTest, EveryProgramAnswersALoneHelpAndVersion) {
  struct Row {
    std::string program;
    std::string page;  // the manual page the usage text names, or empty
  };
  const std::vector<Row> rows = {
      {"patchapply", "patchapply.8"},
      {"patchremove", "patchremove.8"},
      {"featurecheck", "featurecheck.1"},
      {"installer-pane-host", "outcomepane.7"},
      {"rcpsim", ""},
      {"ignitor", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    const std::string program = binDir() + "/" + row.program;
    const RunResult help = runProgram({program, "--help"});
    EXPECT_EQ(help.exitStatus, 0) << help.err;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    if (!row.page.empty()) {
      // "man <section> <name>", naming a page the tree ships.
      const size_t dot = row.page.rfind('.');
      const std::string manual = "man " + row.page.substr(dot + 1) + " " + row.page.substr(0, dot);
      EXPECT_NE(help.out.find(manual), std::string::npos) << help.out;
      EXPECT_TRUE(exists(sourceDir() + "/man/" + row.page)) << row.page;
    }
    const RunResult version = runProgram({program, "--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, row.program + " " RCP_PROJECT_VERSION "\n");
    // Output that cannot be written is a failure, not a success.
    const RunResult full = runProgram({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", program});
    EXPECT_EQ(full.exitStatus, 1);
  }
}

TEST(HelpVersionTest, OtherCommandLinesAreTheProgramsOwn) {
  struct Row {
    std::vector<std::string> argv;
    int status;
    std::string out;
  };
  const std::vector<Row> rows = {
      // An option's value, looked up as it stands.
      {{"featurecheck", "-rcphome", "/nonexistent", "-featureID", "--help"}, 0, "-1"},
      {{"featurecheck", "-rcphome", "/nonexistent", "-featureID", "--version"}, 0, "-1"},
      // Not the single argument: a usage error, as without the option.
      {{"installer-pane-host", "--help", "--non-interactive"}, 2, ""},
      {{"installer-pane-host", "--version", "bundle"}, 2, ""},
      {{"rcpsim", "--version", "x"}, 2, ""},
  };
  for (const Row& row : rows) {
    std::vector<std::string> argv = row.argv;
    argv[0] = binDir() + "/" + argv[0];
    const RunResult run = runProgram(argv);
    SCOPED_TRACE(row.argv[0] + " " + row.argv[1]);
    EXPECT_EQ(run.exitStatus, row.status) << run.err;
    EXPECT_EQ(run.out.substr(0, row.out.size()), row.out);
    if (row.out.empty()) {
      EXPECT_EQ(run.out, "");
    }
  }
}

}  // namespace
}  // namespace rcpinstall::testing
