#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "instance/instance_testing.h"
#include "os/path.h"

namespace rcpinstall {
namespace {

using instance_testing::LogCapture;
using instance_testing::modeOf;
using instance_testing::ScratchInstance;
using ::testing::ElementsAre;
using Table = JavaProperties::Table;

std::string valueOf(const std::string& text, const std::string& key) {
  const Table table = JavaProperties::parse(text);
  return table.count(key) != 0 ? table.at(key) : "<absent>";
}

class InstanceConfigurationTest : public ::testing::Test {
 protected:
  std::string source(const std::string& name, const std::string& content) {
    EXPECT_TRUE(testing::writeFile(sources_ / name, content));
    return sources_ / name;
  }
  ScratchInstance instance_;
  InstanceService service_{instance_.rcphome()};
  testing::ScratchDirectory sources_{"sources"};
};

TEST_F(InstanceConfigurationTest, LauncherProperties) {
  EXPECT_FALSE(service_.updateIgnitorProperties());  // nothing to refresh
  const std::string templ = source("ignitor.template", "rcp.splash=on\nrcp.base.location=kept\n");
  ASSERT_TRUE(service_.generateIgnitorPropertiesWithTemplate(templ, std::nullopt));
  std::string text = instance_.read("ignitor.properties");
  EXPECT_EQ(valueOf(text, "rcp.splash"), "on");
  EXPECT_EQ(valueOf(text, "provisioning.manifest"), "file:/${rcp.home}/rcp/deploy/install.xml");
  EXPECT_EQ(valueOf(text, "provisioning.manifest.version"), valueOf(text, "rcp.install.id"));
  EXPECT_EQ(valueOf(text, "rcp.install.id").size(), 10u);
  EXPECT_EQ(valueOf(text, "rcp.base.location"), "kept");  // no base plug-in
  EXPECT_EQ(valueOf(text, "rcp.data"), "<absent>");
  {
    LogCapture log;  // never over an existing file
    EXPECT_FALSE(service_.generateIgnitorPropertiesWithTemplate(templ, "/w"));
    EXPECT_THAT(log.lines(), ElementsAre("<Error>: Fail to copy ignitor.properties to " +
                                         (instance_ / "ignitor.properties") + ". "));
  }
  EXPECT_EQ(instance_.read("ignitor.properties"), text);

  ASSERT_EQ(::mkdir((instance_.plugins() + "/com.zantec.rcp.base_6.2.0").c_str(), 0755), 0);
  ASSERT_TRUE(service_.updateIgnitorProperties());
  EXPECT_EQ(valueOf(instance_.read("ignitor.properties"), "rcp.base.location"),
            "${rcp.home}/rcp/eclipse/plugins/com.zantec.rcp.base_6.2.0");
}

TEST_F(InstanceConfigurationTest, AgentJvmAndLinkFiles) {
  const std::string agent = source("agent", "agent=1\n");
  EXPECT_TRUE(service_.copyOgsiAgentProperties(agent));
  EXPECT_FALSE(service_.copyOgsiAgentProperties(agent));  // no overwrite
  ASSERT_TRUE(instance_.write("deploy/jvm.properties", "-Xmx1g\n"));
  // Without a template the file is emptied; its attributes need the group "admin".
  EXPECT_EQ(service_.generateJVMPropertiesWithTemplate(std::nullopt),
            ::getgrnam("admin") != nullptr);
  EXPECT_EQ(instance_.read("deploy/jvm.properties"), "");

  ASSERT_EQ(::mkdir((instance_ / "eclipse/links").c_str(), 0700), 0);
  ASSERT_TRUE(instance_.write("eclipse/links/rcp.link", "path=/old\nother=kept\n"));
  ASSERT_TRUE(service_.generateLinks());
  EXPECT_EQ(JavaProperties::parse(instance_.read("eclipse/links/rcp.link")),
            (Table{{"other", "kept"}, {"path", instance_.rcphome()}}));
  EXPECT_EQ(valueOf(instance_.read("eclipse/links/shared.link"), "path"),
            instance_.platformHome() + "/shared");
  EXPECT_EQ(modeOf(instance_ / "eclipse/links"), 0700u);  // an existing directory stays as it is
}

TEST_F(InstanceConfigurationTest, KeystoresAreReplacedAsASet) {
  ASSERT_TRUE(instance_.write("deploy/.keystore", "old"));
  ASSERT_TRUE(instance_.write("deploy/.KeyStore.old", "older"));
  const std::string keystore = source(".keystore", "new");
  source("readme.txt", "not a keystore");
  const std::string deploy = instance_.deploy();
  {
    LogCapture log;
    service_.copyKeyStores(sources_.path());
    EXPECT_EQ(log.lines().front(),
              "<Info>: .keystore source files are in " + sources_.path() + ".");
    EXPECT_EQ(log.lines().back(), "<Info>: Copy keystore file '.keystore' from " + keystore +
                                      " to " + deploy + "/.keystore.");
    EXPECT_THAT(log.lines(), ::testing::Contains("<Info>: Delete existing keystore files "
                                                 "'.KeyStore.old' from " +
                                                 deploy + "/.KeyStore.old. "));
  }
  EXPECT_EQ(instance_.read("deploy/.keystore"), "new");
  EXPECT_FALSE(instance_.has("deploy/.KeyStore.old"));
  EXPECT_FALSE(instance_.has("deploy/readme.txt"));
  service_.copyKeyStores(sources_ / "missing");  // the old set goes, nothing comes in
  EXPECT_FALSE(instance_.has("deploy/.keystore"));
}

TEST_F(InstanceConfigurationTest, PermissionRepairStaysInsideTheInstanceHomeAndPlatformHome) {
  testing::ScratchDirectory home("home");
  testing::ScratchDirectory outside("outside");
  const std::string platformHome = instance_.platformHome();
  for (const std::string& dir : {home / "ws", outside / "ws", platformHome + "/workspace"}) {
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_TRUE(testing::writeFile(dir + "/data", "d", 0600));
  }
  ASSERT_EQ(::symlink(outside.path().c_str(), (home / "link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (platformHome + "/shared").c_str()), 0);
  ASSERT_TRUE(instance_.write("deploy/install.xml", "m", 0600));
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome != nullptr ? oldHome : "";
  ::setenv("HOME", home.path().c_str(), 1);

  service_.updatePermissions(true, false);
  EXPECT_EQ(modeOf(instance_ / "deploy/install.xml"), 0775u);
  EXPECT_EQ(modeOf(outside / "ws/data"), 0600u);  // a link planted as "shared" is not followed

  const std::pair<std::string, std::string> rows[] = {
      // rcp.data, a file below it
      // As root, HOME never extends the repair: the owner here is root.
      {"${env.HOME}/ws", ::geteuid() == 0 ? "" : home / "ws/data"},
      {platformHome + "/workspace", platformHome + "/workspace/data"},
      {outside / "ws", ""},
      {"${env.HOME}/../" + os::lastComponent(outside.path()) + "/ws", ""},
      {"${env.HOME}/link/ws", ""},
  };
  for (const auto& [rcpData, inside] : rows) {
    ASSERT_EQ(::chmod((outside / "ws/data").c_str(), 0600), 0);
    ASSERT_TRUE(instance_.write("ignitor.properties", "rcp.data=" + rcpData + "\n"));
    LogCapture log;
    service_.updatePermissions(false, true);
    if (!inside.empty()) {
      EXPECT_EQ(modeOf(inside), 0775u) << rcpData;
    } else {
      EXPECT_EQ(modeOf(outside / "ws/data"), 0600u) << rcpData;
      EXPECT_THAT(log.lines(), ElementsAre(::testing::HasSubstr("Not changing the attributes of")));
    }
  }
  if (oldHome != nullptr) {
    ::setenv("HOME", savedHome.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}

}  // namespace
}  // namespace rcpinstall
