// Runs as root inside the test sandbox, which has the users alice and bob and the group admin.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "instance/instance_service.h"
#include "instance/instance_testing.h"

namespace rcpinstall {
namespace {

using instance_testing::ScratchInstance;

// "user:group mode" of an entry, the mode in octal.
std::string ownerOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "<missing>";
  const struct passwd* user = ::getpwuid(st.st_uid);
  const struct group* group = ::getgrgid(st.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
  return std::string(user ? user->pw_name : "?") + ":" + (group ? group->gr_name : "?") + " " +
         mode;
}

TEST(InstanceSandboxTest, RewrittenFilesKeepOwnerAndMode) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  ScratchInstance instance;
  testing::ScratchDirectory sources("sources");
  const std::string manifest = sources / "install.hotfix.xml";
  ASSERT_TRUE(testing::writeFile(
      manifest,
      "<manifest><domain-object><object-data><install><installfeature id=\"h\" version=\"1\">"
      "<requirements><feature id=\"f\" version=\"1\" url=\"${installer.root}/f.jar\"/>"
      "</requirements></installfeature></install></object-data></domain-object></manifest>"));
  ASSERT_TRUE(testing::writeFile(sources / "custom.ini", "b=3\n"));

  const char* files[] = {"installInfo.plist", "ignitor.properties", "plugin_customization.ini",
                         "deploy/install.update.xml", "deploy/uninstall.hotfix.xml"};
  for (const char* file : files) {
    ASSERT_TRUE(instance.write(file, std::string(file) == "installInfo.plist"
                                         ? "<plist version=\"1.0\"><dict/></plist>"
                                         : "a=1\n"));
    ASSERT_EQ(::chown((instance / file).c_str(), 1001, 80), 0);  // alice:admin
    ASSERT_EQ(::chmod((instance / file).c_str(), 0640), 0);
  }
  InstanceService service(instance.rcphome());
  ASSERT_TRUE(service.updateHotfixVersion("1.0.2"));
  ASSERT_TRUE(service.updateProvisionManifestVersion("0712260905"));
  ASSERT_TRUE(service.mergePluginCustomizationWithRcphome(sources / "custom.ini"));
  ASSERT_TRUE(service.copyUpdateManifest(manifest, sources.path()));
  ASSERT_TRUE(service.copyPatchRemoveManifest(manifest));
  for (const char* file : files) {
    EXPECT_EQ(ownerOf(instance / file), "alice:admin 640") << file;
  }
  EXPECT_NE(instance.read("deploy/install.update.xml").find("file:" + sources.path() + "/f.jar"),
            std::string::npos);
}

TEST(InstanceSandboxTest, PermissionRepairGivesTheInvokingUserTheInstance) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  ScratchInstance instance;
  // The sandbox's environment is root's; these runs are for alice.
  ::setenv("USER", "alice", 1);
  ::setenv("HOME", "/home/alice", 1);
  const std::string workspace = "/home/alice/Library/Orrery";
  ASSERT_EQ(::mkdir("/home/alice/Library", 0755), 0);
  ASSERT_EQ(::mkdir(workspace.c_str(), 0700), 0);
  ASSERT_TRUE(testing::writeFile(workspace + "/state", "s", 0600));
  // Outside the product only a workspace that is already hers is repaired.
  ASSERT_EQ(::chown(workspace.c_str(), ::getpwnam("alice")->pw_uid, 0), 0);
  const std::string shared = instance.platformHome() + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(shared + "/s", "s", 0600));
  // A system directory named as the workspace is never handed to the repair.
  testing::ScratchDirectory system("system");
  ASSERT_TRUE(testing::writeFile(system / "config", "c", 0600));
  ASSERT_TRUE(instance.write("ignitor.properties", "rcp.data=${env.HOME}/Library/Orrery\n", 0600));

  InstanceService service(instance.rcphome());
  service.updatePermissions(true, true);
  const std::string standard = "alice:admin 775";
  for (const std::string& path : {instance / "ignitor.properties", instance.deploy(),
                                  instance.plugins(), shared + "/s", workspace + "/state"}) {
    EXPECT_EQ(ownerOf(path), standard) << path;
  }
  // The directories named stay as they are.
  EXPECT_EQ(ownerOf(instance.rcphome()), "root:root 755");
  EXPECT_EQ(ownerOf(workspace), "alice:root 700");

  ASSERT_TRUE(instance.write("ignitor.properties", "rcp.data=" + system.path() + "\n"));
  service.updatePermissions(false, true);
  EXPECT_EQ(ownerOf(system / "config"), "root:root 600");
  ASSERT_TRUE(instance.write("ignitor.properties",
                             "rcp.data=${env.HOME}/../../" + system.path().substr(1) + "\n"));
  service.updatePermissions(false, true);
  EXPECT_EQ(ownerOf(system / "config"), "root:root 600");
}

TEST(InstanceSandboxTest, CreatedDirectoriesAndFilesGetTheirOwners) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  ::setenv("USER", "alice", 1);
  {
    ScratchInstance instance;
    InstanceService service(instance.rcphome());
    ASSERT_TRUE(service.generateLinks());
    EXPECT_EQ(ownerOf(instance / "eclipse/links"), "alice:admin 775");
    // deploy and the empty jvm.properties belong to the process's own user, not USER.
    ASSERT_TRUE(testing::removeTree(instance.deploy()));
    ASSERT_TRUE(service.generateJVMPropertiesWithTemplate(std::nullopt));
    EXPECT_EQ(ownerOf(instance.deploy()), "root:admin 775");
    EXPECT_EQ(ownerOf(instance / "deploy/jvm.properties"), "root:admin 775");
  }
  ::unsetenv("USER");
  ScratchInstance instance;
  ASSERT_TRUE(InstanceService(instance.rcphome()).generateLinks());
  EXPECT_EQ(ownerOf(instance / "eclipse/links"), "root:admin 775");
}

}  // namespace
}  // namespace rcpinstall
