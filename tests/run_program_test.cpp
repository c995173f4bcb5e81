// The program runner that other tests lean on.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/testing.h"

namespace rcpinstall::testing {
namespace {

TEST(RunProgramTest, CapturesOutputErrorAndStatus) {
  RunResult run = runProgram({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_TRUE(run.started);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.out, "out\n");
  EXPECT_EQ(run.err, "err\n");

  run = runProgram({"/bin/sh", "-c", "kill -TERM $$"});
  EXPECT_FALSE(run.exited);
  EXPECT_EQ(run.termSignal, SIGTERM);
  EXPECT_EQ(run.exitStatus, 128 + SIGTERM);

  run = runProgram({"/nonexistent/program"});
  EXPECT_FALSE(run.started);
  EXPECT_NE(run.err.find("exec"), std::string::npos) << run.err;
}

TEST(RunProgramTest, FeedsLargeInputWhileReadingLargeOutput) {
  // Both directions exceed a pipe's buffer: feeding and reading must interleave.
  std::string input(1 << 20, 'a');
  RunResult run = runProgram({"cat"}, {}, std::nullopt, input);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out.size(), input.size());
  EXPECT_EQ(runProgram({"cat"}).out, "");  // standard input is the null device
}

TEST(RunProgramTest, EnvironmentOverridesAndTimeout) {
  ::setenv("RCP_TEST_REMOVED", "present", 1);
  RunResult run = runProgram({"/bin/sh", "-c", "echo \"$RCP_TEST_SET:${RCP_TEST_REMOVED-unset}\""},
                             {{"RCP_TEST_SET", "given"}, {"RCP_TEST_REMOVED", std::nullopt}});
  ::unsetenv("RCP_TEST_REMOVED");
  EXPECT_EQ(run.out, "given:unset\n");

  run = runProgram({"sleep", "30"}, {}, std::nullopt, std::nullopt, 1);
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.termSignal, SIGKILL);
}

}  // namespace
}  // namespace rcpinstall::testing
