// Inside the sandbox: the accounts it provides, and running a program as one of them.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include "tests/support/testing.h"

namespace rcpinstall::testing {
namespace {

TEST(SandboxTest, AccountsHomesAndFolders) {
  RCP_REQUIRE_SANDBOX();
  struct passwd* alice = ::getpwnam("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_STREQ(alice->pw_dir, "/home/alice");
  struct stat st {};
  ASSERT_EQ(::stat("/home/alice", &st), 0);
  EXPECT_EQ(st.st_uid, alice->pw_uid);
  struct group* admin = ::getgrnam("admin");
  ASSERT_NE(admin, nullptr);
  bool aliceIsAdmin = false, bobIsAdmin = false;
  for (char** member = admin->gr_mem; *member; ++member) {
    aliceIsAdmin |= std::string(*member) == "alice";
    bobIsAdmin |= std::string(*member) == "bob";
  }
  EXPECT_TRUE(aliceIsAdmin);
  EXPECT_FALSE(bobIsAdmin);
  for (const char* folder : {"/tmp", "/Library", "/Applications", "/home"}) {
    EXPECT_EQ(::stat(folder, &st), 0) << folder;
  }
  ASSERT_EQ(::stat("/tmp", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  // The sandbox has a process namespace of its own: few processes are visible.
  EXPECT_LT(::getpid(), 100);
}

TEST(SandboxTest, RunsAProgramAsAnOrdinaryUser) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  RunResult run =
      runProgram({"/bin/sh", "-c", "id -un; id -Gn; echo $HOME $USER; touch /tmp/a"}, {}, "alice");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "alice");
  EXPECT_NE(run.out.find("admin"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("/home/alice alice"), std::string::npos) << run.out;
  struct stat st {};
  ASSERT_EQ(::stat("/tmp/a", &st), 0);
  EXPECT_EQ(st.st_uid, ::getpwnam("alice")->pw_uid);
  ::unlink("/tmp/a");

  // The build tree is reachable for ordinary users, so they can run what was built.
  run = runProgram(
      {"/bin/sh", "-c", "test -r \"$0\" && echo readable", binaryDir() + "/CMakeCache.txt"}, {},
      "bob");
  EXPECT_EQ(run.out, "readable\n") << run.err;
  EXPECT_FALSE(runProgram({"/bin/true"}, {}, "no-such-user").started);
}

}  // namespace
}  // namespace rcpinstall::testing
