#include "os/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

TEST(ChildProcessTest, ExitStatusSignalsAndStartFailures) {
  struct Row {
    std::string program;
    std::vector<std::string> arguments;
    int expected;
  } rows[] = {
      {"/bin/sh", {"-c", "exit 0"}, 0},
      {"/bin/sh", {"-c", "exit 3"}, 3},
      {"/bin/sh", {"-c", "kill -9 $$"}, 128 + 9},
      // The child gets the vector itself: no shell splits or expands anything.
      {"/bin/sh", {"-c", "test \"$0\" = 'a b' && test \"$1\" = '$HOME;*'", "a b", "$HOME;*"}, 0},
      {"/no/such/program", {}, -1},
      {"", {}, -1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(runAndWait(row.program, row.arguments), row.expected) << row.program;
  }
}

TEST(ChildProcessTest, ChildSeesOnlyTheNullDeviceAndItsOwnProgramPath) {
  testing::ScratchDirectory scratch("child");
  // A descriptor this process holds without close-on-exec must not reach the child.
  int leaked = open("/dev/zero", O_RDONLY);
  ASSERT_GE(leaked, 3);
  const std::string report = scratch / "report";
  // Each open descriptor of the shell as "<fd>=<target>"; the shell's own glob and command
  // substitutions add directories and pipes, never a device.
  const std::string script =
      "r=\"$0\"; for f in /proc/$$/fd/*; do r=\"$r ${f##*/}=$(readlink $f)\"; done; "
      "echo \"$r\" > \"$1\"";
  EXPECT_EQ(runAndWait("/bin/sh", {"-c", script, "/bin/sh", report}), 0);
  close(leaked);
  const std::string seen = testing::readFile(report).value_or("");
  EXPECT_EQ(seen.rfind("/bin/sh ", 0), 0u) << seen;
  for (const char* standard : {" 0=/dev/null", " 1=/dev/null", " 2=/dev/null"}) {
    EXPECT_NE(seen.find(standard), std::string::npos) << seen;
  }
  EXPECT_EQ(seen.find("/dev/zero"), std::string::npos) << seen;
}

TEST(ChildProcessTest, ShellCommandStatusAsSystemGivesIt) {
  testing::ScratchDirectory scratch("shell");
  const int status = runShellCommand("echo made > '" + scratch / "out" + "'; exit 4");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(testing::readFile(scratch / "out"), "made\n");
}

}  // namespace
}  // namespace rcpinstall::os
