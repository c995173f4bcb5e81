#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "instance/instance_testing.h"

namespace rcpinstall {
namespace {

using instance_testing::LogCapture;
using instance_testing::modeOf;
using instance_testing::ScratchInstance;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Table = JavaProperties::Table;

const std::string kManifest =
    "<manifest><domain-object><object-data><install>"
    "<installfeature id=\"h\" version=\"1.0.2\"><requirements>"
    "<feature id=\"a\" version=\"1.0\" url=\"${installer.root}/features/a.jar\"/>"
    "<feature id=\"b\" version=\"2.0\" url=\"${installer.root}/x${installer.root}\"/>"
    "</requirements></installfeature></install></object-data></domain-object></manifest>\n";

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class InstanceStagingTest : public ::testing::Test {
 protected:
  std::string source(const std::string& name, const std::string& content) {
    EXPECT_TRUE(testing::writeFile(sources_ / name, content));
    return sources_ / name;
  }
  ScratchInstance instance_;
  InstanceService service_{instance_.rcphome()};
  testing::ScratchDirectory sources_{"sources"};
};

TEST_F(InstanceStagingTest, StagingWithAnInstallerRoot) {
  const std::string root = sources_.path();
  const std::string staged = instance_.deploy() + "/install.update.xml";
  ASSERT_EQ(::mkdir(staged.c_str(), 0755), 0);  // whatever holds the name is replaced
  LogCapture log;
  ASSERT_TRUE(service_.copyUpdateManifest(source("m.xml", kManifest), root));
  EXPECT_THAT(log.lines(), ElementsAre("<Info>: Copying install manifest to " + staged + ". ",
                                       "<Info>: Updating ${installer.root}. ",
                                       "<Info>: Get ${installer.root} : file:" + root + ". ",
                                       "<Info>: Saving install manifest"));
  const std::string text = instance_.read("deploy/install.update.xml");
  EXPECT_THAT(text, HasSubstr("url=\"file:" + root + "/features/a.jar\""));
  EXPECT_THAT(text, HasSubstr("url=\"file:" + root + "/xfile:" + root + "\""));
}

TEST_F(InstanceStagingTest, StagingOutcomes) {
  struct Row {
    std::string content;
    std::optional<std::string> installerRoot;
    bool expected;
  };
  const Row rows[] = {
      {kManifest, std::nullopt, true},
      {kManifest, "/Volumes/Nowhere/Hotfix.mpkg", true},  // a root not on disk: copied unchanged
      {"<manifest><unclosed>", sources_.path(), false},   // copied unchanged, yet a failure
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(instance_.write("deploy/install.update.xml", "old", 0640));
    EXPECT_EQ(service_.copyUpdateManifest(source("m.xml", row.content), row.installerRoot),
              row.expected);
    EXPECT_EQ(instance_.read("deploy/install.update.xml"), row.content);
    EXPECT_EQ(modeOf(instance_.deploy() + "/install.update.xml"), 0640u);
  }
  EXPECT_TRUE(service_.copyPatchRemoveManifest(source("u.xml", kManifest)));
  EXPECT_EQ(instance_.read("deploy/uninstall.hotfix.xml"), kManifest);
  EXPECT_TRUE(service_.copyManifest(source("extra.xml", "<x/>")));
  EXPECT_EQ(instance_.read("deploy/extra.xml"), "<x/>");

  // A source that cannot be read leaves the instance's own manifest in place.
  ASSERT_TRUE(instance_.write("deploy/install.xml", kManifest));
  EXPECT_FALSE(service_.copyInstallManifest(sources_.path(), InstanceService::InstallerRoot()));
  EXPECT_EQ(instance_.read("deploy/install.xml"), kManifest);
}

TEST_F(InstanceStagingTest, Refusals) {
  const std::string manifest = source("m.xml", kManifest);
  LogCapture log;
  EXPECT_FALSE(service_.copyUpdateManifest(std::nullopt, std::nullopt));
  EXPECT_FALSE(service_.copyUpdateManifest(sources_ / "missing.xml", std::nullopt));
  for (const char* name : {"", "..", "../escape.xml", "sub/x.xml"}) {
    EXPECT_FALSE(service_.copyInstallManifest(manifest, std::string(name), std::nullopt)) << name;
  }
  EXPECT_THAT(log.lines(), ::testing::IsEmpty());
  EXPECT_FALSE(instance_.has("escape.xml"));
  ASSERT_TRUE(testing::removeTree(instance_.deploy()));  // deploy is not created
  EXPECT_FALSE(service_.copyUpdateManifest(manifest, std::nullopt));
  EXPECT_FALSE(service_.copyPatchRemoveManifest(manifest));
  EXPECT_FALSE(instance_.has("deploy"));
}

TEST_F(InstanceStagingTest, BackupNamedAfterTheManifestVersion) {
  const std::pair<std::optional<std::string>, std::optional<std::string>> rows[] = {
      {"provisioning.manifest.version=0712260905\n", "install.0712260905.xml"},
      {"other=1\n", "install.old.xml"},
      {"provisioning.manifest.version=../../escape\n", "install.old.xml"},
      {std::nullopt, std::nullopt},  // no ignitor.properties: no backup at all
  };
  for (const auto& [properties, backup] : rows) {
    ScratchInstance instance;
    ASSERT_TRUE(instance.write("deploy/install.xml", kManifest));
    if (properties) {
      ASSERT_TRUE(instance.write("ignitor.properties", *properties));
    }
    InstanceService service(instance.rcphome());
    service.backupInstallManifest();
    ASSERT_TRUE(instance.write("deploy/install.xml", "changed"));
    service.backupInstallManifest();  // a backup of the same name is kept
    std::vector<std::string> expected{"install.xml"};
    if (backup) expected.push_back(*backup);
    EXPECT_THAT(namesIn(instance.deploy()), ::testing::UnorderedElementsAreArray(expected));
    if (backup) {
      EXPECT_EQ(instance.read("deploy/" + *backup), kManifest);
    }
  }
}

TEST_F(InstanceStagingTest, LauncherKeys) {
  ASSERT_TRUE(instance_.write("ignitor.properties", "keep=me\nprovisioning.manifest.version=1\n"));
  ASSERT_TRUE(service_.updateProvisionManifestVersion("0103090000"));
  ASSERT_TRUE(service_.updateInstallID("3112102359"));
  EXPECT_EQ(JavaProperties::parse(instance_.read("ignitor.properties")),
            (Table{{"keep", "me"},
                   {"provisioning.manifest.version", "0103090000"},
                   {"rcp.install.id", "3112102359"}}));

  ScratchInstance bare;  // never created here
  EXPECT_FALSE(InstanceService(bare.rcphome()).updateProvisionManifestVersion("0103090000"));
  EXPECT_FALSE(bare.has("ignitor.properties"));
  // A launcher file that cannot be read is not replaced by one holding only the new key.
  ASSERT_EQ(::mkfifo((bare / "ignitor.properties").c_str(), 0644), 0);
  EXPECT_FALSE(InstanceService(bare.rcphome()).updateProvisionManifestVersion("0103090000"));
  struct stat st {};
  ASSERT_EQ(::lstat((bare / "ignitor.properties").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(InstanceStagingTest, MergingPluginCustomization) {
  const std::string hotfix = source("plugin_customization.ini", "b=3\nc=4\n# comment\n");
  ASSERT_TRUE(service_.mergePluginCustomizationWithRcphome(hotfix));  // no target: a copy
  EXPECT_EQ(instance_.read("plugin_customization.ini"), "b=3\nc=4\n# comment\n");
  ASSERT_TRUE(instance_.write("plugin_customization.ini", "a=1\nb=2\n"));
  ASSERT_TRUE(service_.mergePluginCustomizationWithRcphome(hotfix));
  const Table merged{{"a", "1"}, {"b", "3"}, {"c", "4"}};
  EXPECT_EQ(JavaProperties::parse(instance_.read("plugin_customization.ini")), merged);

  // Through the base plug-in: its file gets the merged keys, and so does the rcp home's.
  EXPECT_FALSE(service_.mergePluginCustomizationWithBase(hotfix));  // no base plug-in
  const std::string base = instance_.plugins() + "/com.zantec.rcp.base_6.2.0";
  ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(base + "/plugin_customization.ini", "a=1\nb=2\n"));
  ASSERT_TRUE(instance_.write("plugin_customization.ini", "z=old\n"));
  ASSERT_TRUE(service_.mergePluginCustomizationWithBase(hotfix));
  EXPECT_EQ(JavaProperties::parse(*testing::readFile(base + "/plugin_customization.ini")), merged);
  EXPECT_EQ(JavaProperties::parse(instance_.read("plugin_customization.ini")), merged);
}

}  // namespace
}  // namespace rcpinstall
