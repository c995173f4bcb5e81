#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "instance/instance_testing.h"
#include "os/path.h"

namespace rcpinstall {
namespace {

using instance_testing::LogCapture;
using instance_testing::modeOf;
using instance_testing::ScratchInstance;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

JavaProperties::Table propertiesOf(const std::string& text) {
  return JavaProperties::parse(text);
}

std::string valueOf(const JavaProperties::Table& table, const std::string& key) {
  const auto found = table.find(key);
  return found == table.end() ? "<absent>" : found->second;
}

bool adminGroupExists() {
  return ::getgrnam("admin") != nullptr;
}

// Sets HOME for one test and puts the old value back.
class HomeOverride {
 public:
  explicit HomeOverride(const std::string& home) {
    if (const char* old = std::getenv("HOME")) old_ = old;
    ::setenv("HOME", home.c_str(), 1);
  }
  ~HomeOverride() {
    if (old_) {
      ::setenv("HOME", old_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> old_;
};

class InstanceConfigurationTest : public ::testing::Test {
 protected:
  std::string source(const std::string& name, const std::string& content) {
    const std::string path = sources_ / name;
    EXPECT_TRUE(testing::writeFile(path, content));
    return path;
  }
  void addBasePlugin(const std::string& version) {
    ASSERT_EQ(::mkdir((instance_.plugins() + "/com.zantec.rcp.base_" + version).c_str(), 0755), 0);
  }
  ScratchInstance instance_;
  InstanceService service_{instance_.rcphome()};
  testing::ScratchDirectory sources_{"sources"};
};

TEST_F(InstanceConfigurationTest, RefreshingTheLauncherProperties) {
  EXPECT_FALSE(service_.updateIgnitorProperties());  // no ignitor.properties
  EXPECT_FALSE(instance_.has("ignitor.properties"));

  ASSERT_TRUE(instance_.write("ignitor.properties",
                              "rcp.base.location=kept\nrcp.install.id=1\nrcp.data=/w\n", 0640));
  ASSERT_TRUE(service_.updateIgnitorProperties());
  JavaProperties::Table table = propertiesOf(instance_.read("ignitor.properties"));
  const std::string version = valueOf(table, "rcp.install.id");
  EXPECT_TRUE(version.size() == 10 && std::all_of(version.begin(), version.end(), ::isdigit))
      << version;
  EXPECT_EQ(valueOf(table, "provisioning.manifest.version"), version);
  EXPECT_EQ(valueOf(table, "rcp.base.location"), "kept");  // no base plug-in
  EXPECT_EQ(valueOf(table, "rcp.data"), "/w");
  EXPECT_EQ(modeOf(instance_ / "ignitor.properties"), 0640u);

  addBasePlugin("6.2.0");
  ASSERT_TRUE(service_.updateIgnitorProperties());
  table = propertiesOf(instance_.read("ignitor.properties"));
  EXPECT_EQ(valueOf(table, "rcp.base.location"),
            "${rcp.home}/rcp/eclipse/plugins/com.zantec.rcp.base_6.2.0");
}

TEST_F(InstanceConfigurationTest, LauncherPropertiesFromATemplate) {
  const std::string templ = source("ignitor.template", "# template\nrcp.splash=on\n");
  const std::string target = instance_ / "ignitor.properties";
  {
    LogCapture log;
    EXPECT_FALSE(service_.generateIgnitorPropertiesWithTemplate(sources_ / "missing", "/w"));
    EXPECT_FALSE(service_.generateIgnitorPropertiesWithTemplate(std::nullopt, "/w"));
    EXPECT_THAT(log.lines(),
                ElementsAre("<Error>: Fail to locate template for ignitor.properties",
                            "<Error>: Fail to locate template for ignitor.properties"));
  }
  addBasePlugin("6.2.0");
  {
    LogCapture log;
    ASSERT_TRUE(service_.generateIgnitorPropertiesWithTemplate(templ, std::nullopt));
    EXPECT_THAT(log.lines(), ElementsAre("<Info>: Updating ignitor.properties. ",
                                         "<Info>: Saving ignitor.properties. "));
  }
  const JavaProperties::Table table = propertiesOf(instance_.read("ignitor.properties"));
  EXPECT_EQ(valueOf(table, "rcp.splash"), "on");
  EXPECT_EQ(valueOf(table, "provisioning.manifest"), "file:/${rcp.home}/rcp/deploy/install.xml");
  EXPECT_EQ(valueOf(table, "provisioning.manifest.version"), valueOf(table, "rcp.install.id"));
  EXPECT_EQ(valueOf(table, "rcp.base.location"),
            "${rcp.home}/rcp/eclipse/plugins/com.zantec.rcp.base_6.2.0");
  EXPECT_EQ(valueOf(table, "rcp.data"), "<absent>");

  // Never over an existing file.
  const std::string before = instance_.read("ignitor.properties");
  {
    LogCapture log;
    EXPECT_FALSE(service_.generateIgnitorPropertiesWithTemplate(templ, "/w"));
    EXPECT_THAT(log.lines(),
                ElementsAre("<Error>: Fail to copy ignitor.properties to " + target + ". "));
  }
  EXPECT_EQ(instance_.read("ignitor.properties"), before);

  ScratchInstance other;
  ASSERT_TRUE(InstanceService(other.rcphome())
                  .generateIgnitorPropertiesWithTemplate(templ, "${env.HOME}/Orrery"));
  EXPECT_EQ(valueOf(propertiesOf(other.read("ignitor.properties")), "rcp.data"),
            "${env.HOME}/Orrery");
}

TEST_F(InstanceConfigurationTest, AgentAndJvmProperties) {
  const std::string agent = source("osgiagent.template", "agent=1\n");
  {
    LogCapture log;
    EXPECT_FALSE(service_.copyOgsiAgentProperties(sources_ / "missing"));
    EXPECT_THAT(log.lines(),
                ElementsAre("<Error>: Not able to find template for osgiagent.properties"));
  }
  EXPECT_TRUE(service_.copyOgsiAgentProperties(agent));
  EXPECT_EQ(instance_.read("osgiagent.properties"), "agent=1\n");
  ASSERT_TRUE(instance_.write("osgiagent.properties", "mine\n"));
  EXPECT_FALSE(service_.copyOgsiAgentProperties(agent));  // no overwrite
  EXPECT_EQ(instance_.read("osgiagent.properties"), "mine\n");

  const std::string jvm = source("jvm.template", "-Xmx256m\n");
  EXPECT_TRUE(service_.generateJVMPropertiesWithTemplate(jvm));
  EXPECT_EQ(instance_.read("deploy/jvm.properties"), "-Xmx256m\n");
  EXPECT_FALSE(service_.generateJVMPropertiesWithTemplate(jvm));  // no overwrite
  EXPECT_EQ(instance_.read("deploy/jvm.properties"), "-Xmx256m\n");
  // Without a template the file is emptied (its attributes need the group "admin").
  EXPECT_EQ(service_.generateJVMPropertiesWithTemplate(std::nullopt), adminGroupExists());
  EXPECT_EQ(instance_.read("deploy/jvm.properties"), "");
  EXPECT_EQ(service_.generateJVMPropertiesWithTemplate(sources_ / "missing"), adminGroupExists());
}

TEST_F(InstanceConfigurationTest, LinkFiles) {
  ASSERT_EQ(::mkdir((instance_ / "eclipse/links").c_str(), 0700), 0);
  ASSERT_TRUE(instance_.write("eclipse/links/rcp.link", "path=/old\nother=kept\n"));
  ASSERT_TRUE(service_.generateLinks());
  EXPECT_EQ(propertiesOf(instance_.read("eclipse/links/rcp.link")),
            (JavaProperties::Table{{"other", "kept"}, {"path", instance_.rcphome()}}));
  EXPECT_EQ(propertiesOf(instance_.read("eclipse/links/shared.link")),
            (JavaProperties::Table{{"path", instance_.platformHome() + "/shared"}}));
  EXPECT_EQ(modeOf(instance_ / "eclipse/links"), 0700u);  // an existing directory is left as is

  ScratchInstance noEclipse;
  ASSERT_TRUE(testing::removeTree(noEclipse / "eclipse"));
  EXPECT_FALSE(InstanceService(noEclipse.rcphome()).generateLinks());

  if (!adminGroupExists()) {
    // The links directory is made with group "admin"; without that group it cannot be.
    ScratchInstance noLinks;
    LogCapture log;
    EXPECT_FALSE(InstanceService(noLinks.rcphome()).generateLinks());
    EXPECT_THAT(log.lines(), ElementsAre("<Warning>: Not able to create links directory"));
    EXPECT_FALSE(noLinks.has("eclipse/links"));
  }
}

TEST_F(InstanceConfigurationTest, KeystoresAreReplacedAsASet) {
  ASSERT_TRUE(instance_.write("deploy/.keystore", "old"));
  ASSERT_TRUE(instance_.write("deploy/.KeyStore.old", "older"));
  ASSERT_TRUE(instance_.write("deploy/install.xml", "manifest"));
  const std::string keystore = source(".keystore", "new");
  source("readme.txt", "not a keystore");
  const std::string deploy = instance_.deploy();
  {
    LogCapture log;
    service_.copyKeyStores(sources_.path());
    EXPECT_THAT(log.lines(), UnorderedElementsAre(
                                 "<Info>: .keystore source files are in " + sources_.path() + ".",
                                 "<Info>: Delete existing keystore files '.keystore' from " +
                                     deploy + "/.keystore. ",
                                 "<Info>: Delete existing keystore files '.KeyStore.old' from " +
                                     deploy + "/.KeyStore.old. ",
                                 "<Info>: Copy keystore file '.keystore' from " + keystore +
                                     " to " + deploy + "/.keystore."));
    EXPECT_EQ(log.lines().front(),
              "<Info>: .keystore source files are in " + sources_.path() + ".");
  }
  EXPECT_EQ(instance_.read("deploy/.keystore"), "new");
  EXPECT_FALSE(instance_.has("deploy/.KeyStore.old"));
  EXPECT_FALSE(instance_.has("deploy/readme.txt"));
  EXPECT_EQ(instance_.read("deploy/install.xml"), "manifest");

  // A source that does not exist: the old set goes, nothing comes in.
  service_.copyKeyStores(sources_ / "missing");
  EXPECT_FALSE(instance_.has("deploy/.keystore"));
  EXPECT_EQ(instance_.read("deploy/install.xml"), "manifest");
}

TEST_F(InstanceConfigurationTest, ExtrasAreMergedIntoDeploy) {
  const std::string extras = sources_ / "extras";
  ASSERT_EQ(::mkdir(extras.c_str(), 0755), 0);
  {
    LogCapture log;
    service_.copyExtras(extras);  // empty: nothing at all
    service_.copyExtras(sources_ / "missing");
    service_.copyExtras(std::nullopt);
    EXPECT_THAT(log.lines(), IsEmpty());
  }
  EXPECT_FALSE(instance_.has("deploy/extras"));

  ASSERT_EQ(::mkdir((extras + "/docs").c_str(), 0755), 0);
  source("extras/docs/readme.txt", "new readme");
  source("extras/top.txt", "top");
  ASSERT_EQ(::mkdir((instance_.deploy() + "/extras").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((instance_.deploy() + "/extras/docs").c_str(), 0755), 0);
  ASSERT_TRUE(instance_.write("deploy/extras/docs/readme.txt", "old readme"));
  ASSERT_TRUE(instance_.write("deploy/extras/mine.txt", "mine"));
  {
    LogCapture log;
    service_.copyExtras(extras);
    EXPECT_THAT(log.lines(), ElementsAre("<Info>: Begin to copy files from " + extras + " to " +
                                         instance_.deploy() + "/extras "));
  }
  EXPECT_EQ(instance_.read("deploy/extras/docs/readme.txt"), "new readme");
  EXPECT_EQ(instance_.read("deploy/extras/top.txt"), "top");
  EXPECT_EQ(instance_.read("deploy/extras/mine.txt"), "mine");
}

TEST_F(InstanceConfigurationTest, PermissionRepairOfTheInstance) {
  const std::string shared = instance_.platformHome() + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(shared + "/s.txt", "s", 0600));
  ASSERT_TRUE(instance_.write("deploy/install.xml", "m", 0600));
  service_.updatePermissions(false, false);
  EXPECT_EQ(modeOf(instance_ / "deploy/install.xml"), 0600u);
  service_.updatePermissions(true, false);
  EXPECT_EQ(modeOf(instance_ / "deploy/install.xml"), 0775u);
  EXPECT_EQ(modeOf(instance_ / "deploy"), 0775u);
  EXPECT_EQ(modeOf(shared + "/s.txt"), 0775u);
  EXPECT_EQ(modeOf(instance_.rcphome()), 0755u);  // the directory itself is not changed

  // A link planted as the shared directory is not followed.
  ScratchInstance planted;
  testing::ScratchDirectory elsewhere("elsewhere");
  ASSERT_TRUE(testing::writeFile(elsewhere / "victim", "v", 0600));
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), (planted.platformHome() + "/shared").c_str()), 0);
  InstanceService(planted.rcphome()).updatePermissions(true, false);
  EXPECT_EQ(modeOf(elsewhere / "victim"), 0600u);
}

TEST_F(InstanceConfigurationTest, WorkspaceRepairStaysInsideHomeOrPlatformHome) {
  testing::ScratchDirectory home("home");
  testing::ScratchDirectory outside("outside");
  ASSERT_EQ(::mkdir((home / "ws").c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(home / "ws/data", "d", 0600));
  ASSERT_EQ(::mkdir((outside / "ws").c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(outside / "ws/data", "d", 0600));
  ASSERT_EQ(::symlink(outside.path().c_str(), (home / "link").c_str()), 0);
  ASSERT_EQ(::mkdir((instance_.platformHome() + "/workspace").c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(instance_.platformHome() + "/workspace/data", "d", 0600));
  HomeOverride override(home.path());

  struct Row {
    std::string rcpData;
    std::string probe;  // a file below the workspace
    bool repaired;
  };
  const Row rows[] = {
      {"${env.HOME}/ws", home / "ws/data", true},
      {home / "ws", home / "ws/data", true},
      {instance_.platformHome() + "/workspace", instance_.platformHome() + "/workspace/data", true},
      {outside / "ws", outside / "ws/data", false},
      {"${env.HOME}/../" + os::lastComponent(outside.path()) + "/ws", outside / "ws/data", false},
      {"${env.HOME}/link/ws", outside / "ws/data", false},
      {"${env.HOME}", home / "ws/data", false},  // the home directory itself is not a workspace
      {"${rcp.home}/workspace", instance_.platformHome() + "/workspace/data", false},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(::chmod(row.probe.c_str(), 0600), 0);
    ASSERT_TRUE(instance_.write("ignitor.properties", "rcp.data=" + row.rcpData + "\n"));
    LogCapture log;
    service_.updatePermissions(false, true);
    EXPECT_EQ(modeOf(row.probe), row.repaired ? 0775u : 0600u) << row.rcpData;
    if (!row.repaired && row.rcpData != "${rcp.home}/workspace") {
      EXPECT_THAT(log.lines(), Contains(::testing::HasSubstr("Not changing the attributes of")))
          << row.rcpData;
    }
  }
}

}  // namespace
}  // namespace rcpinstall
