#include "os/process_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

TEST(ProcessListTest, ReadsEveryReadableExecutableInPidOrder) {
  testing::ScratchDirectory proc("proc");
  auto process = [&](const char* pid, const char* executable) {
    ASSERT_EQ(mkdir((proc / pid).c_str(), 0755), 0);
    if (executable != nullptr) {
      ASSERT_EQ(symlink(executable, (proc / pid + "/exe").c_str()), 0);
    }
  };
  process("20", "/Applications/Orrery.app/Contents/MacOS/Orrery");
  process("3", "/usr/bin/sleep (deleted)");
  process("100", "/sbin/init");
  process("7", nullptr);          // a kernel thread: no executable
  process("self", "/not/a/pid");  // not a process directory
  process("12a", "/not/a/pid");
  ASSERT_TRUE(testing::writeFile(proc / "uptime", "1.0 1.0"));

  EXPECT_EQ(
      runningExecutablePaths(proc.path()),
      (std::vector<std::string>{"/usr/bin/sleep (deleted)",
                                "/Applications/Orrery.app/Contents/MacOS/Orrery", "/sbin/init"}));
  EXPECT_TRUE(runningExecutablePaths(proc / "missing").empty());
}

TEST(ProcessListTest, ListsThisProcess) {
  const std::optional<std::string> self = ownExecutablePath();
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->front(), '/');
  const std::vector<std::string> paths = runningExecutablePaths();
  EXPECT_NE(std::find(paths.begin(), paths.end(), *self), paths.end());
}

}  // namespace
}  // namespace rcpinstall::os
