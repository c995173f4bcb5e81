// Runs as root inside the test sandbox, which has the users alice and bob and the group admin.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <span>

#include "foundation/install_util.h"
#include "os/file_system.h"
#include "tests/support/testing.h"

extern char** environ;

namespace rcpinstall::InstallUtil {
namespace {

struct stat statusOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

// Copies an executable to `path` (creating its folders) and starts it; stops it on destruction.
class RunningCopy {
 public:
  RunningCopy(const std::string& program, const std::string& path) : path_(path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    if (!os::FileSystem::copyItem(program, path)) return;
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("600"), nullptr};
    if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~RunningCopy() { stop(); }
  bool started() const { return pid_ > 0; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

TEST(InstallUtilProcessSandboxTest, RunningCheckFindsACopiedExecutableUnderItsBundle) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  const std::string bundle = "/Applications/Orrery.app";
  EXPECT_FALSE(checkBundleIsRunning(bundle));
  {
    RunningCopy product("/bin/sleep", bundle + "/Contents/MacOS/Orrery");
    ASSERT_TRUE(product.started());
    EXPECT_TRUE(checkBundleIsRunning(bundle));
    EXPECT_TRUE(checkBundleIsRunning(bundle + "/Contents/MacOS/Orrery"));
    EXPECT_FALSE(checkBundleIsRunning("/Applications/Other.app"));
    product.stop();
    EXPECT_FALSE(checkBundleIsRunning(bundle));
  }
  // A plain text prefix: a sibling bundle whose name begins with the same letters counts.
  RunningCopy sibling("/bin/sleep", "/Applications/Orrery.app2/Contents/MacOS/Orrery2");
  ASSERT_TRUE(sibling.started());
  EXPECT_TRUE(checkBundleIsRunning(bundle));
  EXPECT_FALSE(checkBundleIsRunning(bundle + "/"));
}

TEST(InstallUtilProcessSandboxTest, RepairGivesAliceAdminAndModeAtEveryDepthButNotThroughLinks) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  // getpwnam answers in one static record: keep the numbers, not the pointers.
  const struct passwd* account = getpwnam("alice");
  ASSERT_NE(account, nullptr);
  const uid_t aliceUid = account->pw_uid;
  account = getpwnam("bob");
  ASSERT_NE(account, nullptr);
  const uid_t bobUid = account->pw_uid;
  const gid_t bobGid = account->pw_gid;
  const struct group* admin = getgrnam("admin");
  ASSERT_NE(admin, nullptr);
  const gid_t adminGid = admin->gr_gid;

  testing::ScratchDirectory scratch("repair");
  const std::string outsideFile = scratch / "outside-file";
  const std::string outsideDir = scratch / "outside-dir";
  ASSERT_TRUE(testing::writeFile(outsideFile, "secret", 0600));
  ASSERT_EQ(mkdir(outsideDir.c_str(), 0700), 0);
  ASSERT_TRUE(testing::writeFile(outsideDir + "/inner", "inner", 0600));
  for (const std::string& path : {outsideFile, outsideDir, outsideDir + "/inner"})
    ASSERT_EQ(chown(path.c_str(), bobUid, bobGid), 0);

  const std::string rcp = scratch / "rcp";
  const char* directories[] = {"", "/eclipse", "/eclipse/plugins", "/eclipse/plugins/p_1.0",
                               "/eclipse/plugins/p_1.0/META-INF"};
  const char* files[] = {"/ignitor", "/eclipse/plugins/a.jar", "/eclipse/plugins/p_1.0/plugin.xml",
                         "/eclipse/plugins/p_1.0/META-INF/MANIFEST.MF"};
  for (const char* directory : directories) ASSERT_EQ(mkdir((rcp + directory).c_str(), 0700), 0);
  for (const char* file : files) ASSERT_TRUE(testing::writeFile(rcp + file, "x", 0600));
  ASSERT_EQ(symlink(outsideFile.c_str(), (rcp + "/eclipse/to-file").c_str()), 0);
  ASSERT_EQ(symlink(outsideDir.c_str(), (rcp + "/eclipse/plugins/to-dir").c_str()), 0);

  setenv("USER", "alice", 1);
  EXPECT_TRUE(changeAttributesForDirectory(rcp));
  setenv("USER", "root", 1);

  for (const char* entry : std::span(directories).subspan(1)) {
    struct stat status = statusOf(rcp + entry);
    EXPECT_EQ(status.st_uid, aliceUid) << entry;
    EXPECT_EQ(status.st_gid, adminGid) << entry;
    EXPECT_EQ(status.st_mode & 07777, 0775u) << entry;
  }
  for (const char* entry : files) {
    struct stat status = statusOf(rcp + entry);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << entry;
    EXPECT_EQ(status.st_uid, aliceUid) << entry;
    EXPECT_EQ(status.st_gid, adminGid) << entry;
    EXPECT_EQ(status.st_mode & 07777, 0775u) << entry;
  }
  // The rcp home itself keeps root and its mode.
  EXPECT_EQ(statusOf(rcp).st_uid, 0u);
  EXPECT_EQ(statusOf(rcp).st_mode & 07777, 0700u);
  // The links themselves belong to alice now; what they point to is untouched.
  for (const char* link : {"/eclipse/to-file", "/eclipse/plugins/to-dir"}) {
    EXPECT_EQ(statusOf(rcp + link).st_uid, aliceUid) << link;
    EXPECT_EQ(statusOf(rcp + link).st_gid, adminGid) << link;
  }
  for (const std::string& path : {outsideFile, outsideDir, outsideDir + "/inner"}) {
    struct stat status = statusOf(path);
    EXPECT_EQ(status.st_uid, bobUid) << path;
    EXPECT_EQ(status.st_gid, bobGid) << path;
  }
  EXPECT_EQ(statusOf(outsideFile).st_mode & 07777, 0600u);
  EXPECT_EQ(statusOf(outsideDir).st_mode & 07777, 0700u);
  EXPECT_EQ(statusOf(outsideDir + "/inner").st_mode & 07777, 0600u);

  // An owner the system does not know: false, and group and mode are still repaired.
  ASSERT_EQ(chmod((rcp + "/ignitor").c_str(), 0600), 0);
  setenv("USER", "no-such-user", 1);
  EXPECT_FALSE(changeAttributesForDirectory(rcp));
  setenv("USER", "root", 1);
  EXPECT_EQ(statusOf(rcp + "/ignitor").st_mode & 07777, 0775u);
  EXPECT_EQ(statusOf(rcp + "/ignitor").st_uid, aliceUid);
}

}  // namespace
}  // namespace rcpinstall::InstallUtil
