// Runs as root inside the test sandbox, which has the users alice and bob and the group admin.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "instance/instance_service.h"
#include "instance/instance_testing.h"

namespace rcpinstall {
namespace {

using instance_testing::ScratchInstance;

struct Owner {
  std::string user;
  std::string group;
  mode_t mode;
  bool operator==(const Owner&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Owner& owner) {
  return out << owner.user << ":" << owner.group << " " << std::oct << owner.mode;
}

Owner ownerOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {"<missing>", "", 0};
  const struct passwd* user = ::getpwuid(st.st_uid);
  const struct group* group = ::getgrgid(st.st_gid);
  return {user ? user->pw_name : std::to_string(st.st_uid),
          group ? group->gr_name : std::to_string(st.st_gid), st.st_mode & 07777};
}

void giveTo(const std::string& path, const char* user, const char* group, mode_t mode) {
  ASSERT_EQ(::chown(path.c_str(), ::getpwnam(user)->pw_uid, ::getgrnam(group)->gr_gid), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Sets or removes environment variables for one test and puts the old values back.
class EnvironmentOverride {
 public:
  void set(const char* name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvironmentOverride() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

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
    giveTo(instance / file, "alice", "admin", 0640);
  }
  InstanceService service(instance.rcphome());
  ASSERT_TRUE(service.updateHotfixVersion("1.0.2"));
  ASSERT_TRUE(service.updateProvisionManifestVersion("0712260905"));
  ASSERT_TRUE(service.mergePluginCustomizationWithRcphome(sources / "custom.ini"));
  ASSERT_TRUE(service.copyUpdateManifest(manifest, sources.path()));
  ASSERT_TRUE(service.copyPatchRemoveManifest(manifest));
  for (const char* file : files) {
    EXPECT_EQ(ownerOf(instance / file), (Owner{"alice", "admin", 0640})) << file;
  }
  EXPECT_NE(instance.read("deploy/install.update.xml").find("file:" + sources.path() + "/f.jar"),
            std::string::npos);
}

TEST(InstanceSandboxTest, PermissionRepairGivesTheInvokingUserTheInstance) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  ScratchInstance instance;
  EnvironmentOverride env;
  env.set("USER", "alice");
  env.set("HOME", "/home/alice");
  const std::string workspace = "/home/alice/Library/Orrery";
  ASSERT_EQ(::mkdir("/home/alice/Library", 0755), 0);
  ASSERT_EQ(::mkdir(workspace.c_str(), 0700), 0);
  ASSERT_TRUE(testing::writeFile(workspace + "/state", "s", 0600));
  const std::string shared = instance.platformHome() + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(shared + "/s", "s", 0600));
  // A system directory named as the workspace is never handed to the repair.
  testing::ScratchDirectory system("system");
  ASSERT_TRUE(testing::writeFile(system / "config", "c", 0600));
  ASSERT_TRUE(instance.write("ignitor.properties", "rcp.data=${env.HOME}/Library/Orrery\n", 0600));

  InstanceService service(instance.rcphome());
  service.updatePermissions(true, true);
  const Owner standard{"alice", "admin", 0775};
  for (const std::string& path : {instance / "ignitor.properties", instance.deploy(),
                                  instance.plugins(), shared + "/s", workspace + "/state"}) {
    EXPECT_EQ(ownerOf(path), standard) << path;
  }
  EXPECT_EQ(ownerOf(instance.rcphome()).user, "root");  // the directories named stay as they are
  EXPECT_EQ(ownerOf(workspace), (Owner{"root", "root", 0700}));

  ASSERT_TRUE(instance.write("ignitor.properties", "rcp.data=" + system.path() + "\n"));
  service.updatePermissions(false, true);
  EXPECT_EQ(ownerOf(system / "config"), (Owner{"root", "root", 0600}));
  ASSERT_TRUE(instance.write("ignitor.properties",
                             "rcp.data=${env.HOME}/../../" + system.path().substr(1) + "\n"));
  service.updatePermissions(false, true);
  EXPECT_EQ(ownerOf(system / "config"), (Owner{"root", "root", 0600}));
}

TEST(InstanceSandboxTest, CreatedDirectoriesAndFilesGetTheirOwners) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  EnvironmentOverride env;
  env.set("USER", "alice");
  {
    ScratchInstance instance;
    InstanceService service(instance.rcphome());
    ASSERT_TRUE(service.generateLinks());
    EXPECT_EQ(ownerOf(instance / "eclipse/links"), (Owner{"alice", "admin", 0775}));
    // deploy and the empty jvm.properties belong to the process's own user, not USER.
    ASSERT_TRUE(testing::removeTree(instance.deploy()));
    ASSERT_TRUE(service.generateJVMPropertiesWithTemplate(std::nullopt));
    EXPECT_EQ(ownerOf(instance.deploy()), (Owner{"root", "admin", 0775}));
    EXPECT_EQ(ownerOf(instance / "deploy/jvm.properties"), (Owner{"root", "admin", 0775}));
    // An existing jvm.properties is emptied and given the same attributes.
    ASSERT_TRUE(instance.write("deploy/jvm.properties", "-Xmx1g\n"));
    giveTo(instance / "deploy/jvm.properties", "bob", "bob", 0600);
    ASSERT_TRUE(service.generateJVMPropertiesWithTemplate(std::nullopt));
    EXPECT_EQ(instance.read("deploy/jvm.properties"), "");
    EXPECT_EQ(ownerOf(instance / "deploy/jvm.properties"), (Owner{"root", "admin", 0775}));
  }
  env.set("USER", std::nullopt);
  ScratchInstance instance;
  ASSERT_TRUE(InstanceService(instance.rcphome()).generateLinks());
  EXPECT_EQ(ownerOf(instance / "eclipse/links"), (Owner{"root", "admin", 0775}));
}

}  // namespace
}  // namespace rcpinstall
