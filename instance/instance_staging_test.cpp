#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

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
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<manifest><domain-object><object-data><install>"
    "<installfeature id=\"com.zantec.orrery.hotfix\" version=\"1.0.2\"><requirements>"
    "<feature id=\"a\" version=\"1.0\" url=\"${installer.root}/features/a.jar\"/>"
    "<feature id=\"b\" version=\"2.0\" url=\"${installer.root}/x${installer.root}\"/>"
    "<feature id=\"c\" version=\"3.0\" url=\"http://example.com/c.jar\"/>"
    "</requirements></installfeature>"
    "</install></object-data></domain-object></manifest>\n";

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

JavaProperties::Table propertiesOf(const std::string& text) {
  return JavaProperties::parse(text);
}

class InstanceStagingTest : public ::testing::Test {
 protected:
  std::string source(const std::string& name, const std::string& content) {
    const std::string path = sources_ / name;
    EXPECT_TRUE(testing::writeFile(path, content));
    return path;
  }
  ScratchInstance instance_;
  InstanceService service_{instance_.rcphome()};
  testing::ScratchDirectory sources_{"sources"};
};

TEST_F(InstanceStagingTest, StagingWithAnInstallerRoot) {
  const std::string manifest = source("install.hotfix.xml", kManifest);
  const std::string root = sources_ / "Hotfix.mpkg";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  const std::string staged = instance_.deploy() + "/install.update.xml";
  LogCapture log;
  ASSERT_TRUE(service_.copyUpdateManifest(manifest, root));
  EXPECT_THAT(log.lines(), ElementsAre("<Info>: Copying install manifest to " + staged + ". ",
                                       "<Info>: Updating ${installer.root}. ",
                                       "<Info>: Get ${installer.root} : file:" + root + ". ",
                                       "<Info>: Saving install manifest"));
  const std::string text = instance_.read("deploy/install.update.xml");
  EXPECT_THAT(text, HasSubstr("url=\"file:" + root + "/features/a.jar\""));
  EXPECT_THAT(text, HasSubstr("url=\"file:" + root + "/xfile:" + root + "\""));
  EXPECT_THAT(text, HasSubstr("url=\"http://example.com/c.jar\""));
  EXPECT_THAT(text, Not(HasSubstr("${installer.root}")));
  EXPECT_EQ(testing::readFile(manifest), kManifest);  // the source is untouched
}

TEST_F(InstanceStagingTest, StagingOutcomes) {
  struct Row {
    const char* name;
    std::string content;
    std::optional<std::string> installerRoot;  // "<dir>" stands for an existing directory
    bool expected;
    bool unchangedCopy;
  };
  const Row rows[] = {
      {"no installer root", kManifest, std::nullopt, true, true},
      {"installer root not on disk", kManifest, "/Volumes/Nowhere/Hotfix.mpkg", true, true},
      // The copy stays in place unreplaced, and the answer says the staging failed.
      {"malformed manifest", "<manifest><unclosed>", "<dir>", false, true},
      // A well-formed manifest is saved back even when it holds no features to rewrite.
      {"manifest without the levels", "<manifest/>", "<dir>", true, false},
  };
  for (const Row& row : rows) {
    ScratchInstance instance;
    InstanceService service(instance.rcphome());
    std::optional<std::string> root = row.installerRoot;
    if (root == "<dir>") root = sources_.path();
    ASSERT_TRUE(instance.write("deploy/install.update.xml", "old staged manifest"));
    EXPECT_EQ(service.copyUpdateManifest(source("m.xml", row.content), root), row.expected)
        << row.name;
    if (row.unchangedCopy) {
      EXPECT_EQ(instance.read("deploy/install.update.xml"), row.content) << row.name;
    }
  }
}

TEST_F(InstanceStagingTest, RefusalsLeaveDeployAlone) {
  const std::string manifest = source("install.hotfix.xml", kManifest);
  LogCapture log;
  EXPECT_FALSE(service_.copyUpdateManifest(std::nullopt, std::nullopt));
  EXPECT_FALSE(service_.copyUpdateManifest(sources_ / "missing.xml", std::nullopt));
  EXPECT_FALSE(service_.copyPatchRemoveManifest(sources_ / "missing.xml"));
  for (const char* name : {"", ".", "..", "../escape.xml", "sub/x.xml"}) {
    EXPECT_FALSE(service_.copyInstallManifest(manifest, std::string(name), std::nullopt)) << name;
  }
  EXPECT_FALSE(service_.copyInstallManifest(manifest, std::nullopt, std::nullopt));
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_FALSE(testing::readFile(instance_.rcphome() + "/escape.xml").has_value());
  EXPECT_EQ(testing::readFile(instance_.deploy() + "/install.update.xml"), std::nullopt);

  // Without a deploy directory the copy itself fails (deploy is not created).
  ASSERT_TRUE(testing::removeTree(instance_.deploy()));
  EXPECT_FALSE(service_.copyUpdateManifest(manifest, std::nullopt));
  EXPECT_FALSE(service_.copyPatchRemoveManifest(manifest));
  EXPECT_FALSE(instance_.has("deploy"));
}

TEST_F(InstanceStagingTest, StagedFilesReplaceWhatWasThere) {
  const std::string manifest = source("uninstall.hotfix.xml", kManifest);
  // A directory in the way is removed; a file keeps its mode under the new content.
  ASSERT_EQ(::mkdir((instance_.deploy() + "/install.update.xml").c_str(), 0755), 0);
  ASSERT_TRUE(instance_.write("deploy/install.update.xml/inner", "x"));
  ASSERT_TRUE(instance_.write("deploy/uninstall.hotfix.xml", "old", 0640));
  EXPECT_TRUE(service_.copyUpdateManifest(manifest, sources_.path()));
  EXPECT_THAT(instance_.read("deploy/install.update.xml"), HasSubstr("file:" + sources_.path()));
  EXPECT_TRUE(service_.copyPatchRemoveManifest(manifest));
  EXPECT_EQ(instance_.read("deploy/uninstall.hotfix.xml"), kManifest);  // no replacement
  EXPECT_EQ(modeOf(instance_.deploy() + "/uninstall.hotfix.xml"), 0640u);

  // copyManifest stages under the source's own name.
  EXPECT_TRUE(service_.copyManifest(source("extra.xml", "<x/>")));
  EXPECT_EQ(instance_.read("deploy/extra.xml"), "<x/>");
  // Staging a file onto itself keeps it.
  EXPECT_TRUE(service_.copyManifest(instance_.deploy() + "/extra.xml"));
  EXPECT_EQ(instance_.read("deploy/extra.xml"), "<x/>");
}

TEST_F(InstanceStagingTest, FailedCopyKeepsTheInstallManifest) {
  ASSERT_TRUE(instance_.write("deploy/install.xml", kManifest));
  // A source that exists but cannot be read as a file: the instance's manifest survives.
  EXPECT_FALSE(service_.copyInstallManifest(sources_.path(), std::nullopt));
  EXPECT_EQ(instance_.read("deploy/install.xml"), kManifest);
  EXPECT_TRUE(service_.hasInstanceInstalled());
}

TEST_F(InstanceStagingTest, BackupNamedAfterTheManifestVersion) {
  struct Row {
    std::optional<std::string> ignitorProperties;
    std::optional<std::string> backupName;
  };
  const Row rows[] = {
      {"provisioning.manifest.version=0712260905\n", "install.0712260905.xml"},
      {"other=1\n", "install.old.xml"},
      {"provisioning.manifest.version=\n", "install.old.xml"},
      {"provisioning.manifest.version=../../escape\n", "install.old.xml"},
      {std::nullopt, std::nullopt},  // no ignitor.properties: no backup at all
  };
  for (const Row& row : rows) {
    ScratchInstance instance;
    ASSERT_TRUE(instance.write("deploy/install.xml", kManifest));
    if (row.ignitorProperties) {
      ASSERT_TRUE(instance.write("ignitor.properties", *row.ignitorProperties));
    }
    InstanceService(instance.rcphome()).backupInstallManifest();
    std::vector<std::string> expected{"install.xml"};
    if (row.backupName) expected.push_back(*row.backupName);
    EXPECT_THAT(namesIn(instance.deploy()), ::testing::UnorderedElementsAreArray(expected))
        << row.ignitorProperties.value_or("<none>");
    if (row.backupName) {
      EXPECT_EQ(instance.read("deploy/" + *row.backupName), kManifest);
    }
  }

  // A second backup under the same version keeps the first one.
  ScratchInstance instance;
  ASSERT_TRUE(instance.write("ignitor.properties", "a=b\n"));
  ASSERT_TRUE(instance.write("deploy/install.xml", "first"));
  InstanceService service(instance.rcphome());
  service.backupInstallManifest();
  ASSERT_TRUE(instance.write("deploy/install.xml", "second"));
  service.backupInstallManifest();
  EXPECT_EQ(instance.read("deploy/install.old.xml"), "first");
}

TEST_F(InstanceStagingTest, LauncherKeys) {
  ASSERT_TRUE(
      instance_.write("ignitor.properties", "keep=me\nprovisioning.manifest.version=1\n", 0640));
  ASSERT_TRUE(service_.updateProvisionManifestVersion("0103090000"));
  ASSERT_TRUE(service_.updateInstallID("3112102359"));
  EXPECT_EQ(propertiesOf(instance_.read("ignitor.properties")),
            (JavaProperties::Table{{"keep", "me"},
                                   {"provisioning.manifest.version", "0103090000"},
                                   {"rcp.install.id", "3112102359"}}));
  EXPECT_EQ(modeOf(instance_ / "ignitor.properties"), 0640u);
  EXPECT_FALSE(service_.updateInstallID(std::nullopt));

  // Never created here.
  ScratchInstance bare;
  EXPECT_FALSE(InstanceService(bare.rcphome()).updateProvisionManifestVersion("0103090000"));
  EXPECT_FALSE(bare.has("ignitor.properties"));

  // A launcher file that cannot be read is not replaced by one holding only the new key.
  ScratchInstance fifo;
  ASSERT_EQ(::mkfifo((fifo / "ignitor.properties").c_str(), 0644), 0);
  EXPECT_FALSE(InstanceService(fifo.rcphome()).updateProvisionManifestVersion("0103090000"));
  struct stat st {};
  ASSERT_EQ(::lstat((fifo / "ignitor.properties").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(InstanceStagingTest, MergingIntoTheRcphomeCustomization) {
  const std::string hotfix = source("plugin_customization.ini", "b=3\nc=4\n# comment\n");
  // No target yet: the hotfix file is copied as it is.
  ASSERT_TRUE(service_.mergePluginCustomizationWithRcphome(hotfix));
  EXPECT_EQ(instance_.read("plugin_customization.ini"), "b=3\nc=4\n# comment\n");

  ASSERT_TRUE(instance_.write("plugin_customization.ini", "a=1\nb=2\n", 0600));
  ASSERT_TRUE(service_.mergePluginCustomizationWithRcphome(hotfix));
  EXPECT_EQ(propertiesOf(instance_.read("plugin_customization.ini")),
            (JavaProperties::Table{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
  EXPECT_EQ(modeOf(instance_ / "plugin_customization.ini"), 0600u);

  // A hotfix file that is gone merges nothing; the target is written out again.
  EXPECT_TRUE(service_.mergePluginCustomizationWithRcphome(sources_ / "missing.ini"));
  EXPECT_EQ(instance_.read("plugin_customization.ini"), "a=1\nb=3\nc=4\n");
  EXPECT_FALSE(service_.mergePluginCustomizationWithRcphome(std::nullopt));

  // With neither a target nor a source nothing is created.
  ScratchInstance bare;
  EXPECT_FALSE(InstanceService(bare.rcphome())
                   .mergePluginCustomizationWithRcphome(sources_ / "missing.ini"));
  EXPECT_FALSE(bare.has("plugin_customization.ini"));
}

TEST_F(InstanceStagingTest, MergingThroughTheBasePlugin) {
  const std::string hotfix = source("plugin_customization.ini", "b=3\nc=4\n");
  EXPECT_FALSE(service_.mergePluginCustomizationWithBase(hotfix));  // no base plug-in

  const std::string base = instance_.plugins() + "/com.zantec.rcp.base_6.2.0";
  ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
  EXPECT_TRUE(service_.mergePluginCustomizationWithBase(hotfix));  // no base file: nothing
  EXPECT_FALSE(instance_.has("plugin_customization.ini"));

  ASSERT_TRUE(testing::writeFile(base + "/plugin_customization.ini", "a=1\nb=2\n"));
  ASSERT_TRUE(instance_.write("plugin_customization.ini", "z=old\n"));
  EXPECT_FALSE(service_.mergePluginCustomizationWithBase(sources_ / "missing.ini"));
  ASSERT_TRUE(service_.mergePluginCustomizationWithBase(hotfix));
  const JavaProperties::Table merged{{"a", "1"}, {"b", "3"}, {"c", "4"}};
  EXPECT_EQ(propertiesOf(testing::readFile(base + "/plugin_customization.ini").value_or("")),
            merged);
  EXPECT_EQ(propertiesOf(instance_.read("plugin_customization.ini")), merged);

  // A base directory with a second "_" after the version is not the one looked for.
  ScratchInstance odd;
  const std::string oddBase = odd.plugins() + "/com.zantec.rcp.base_6.2.0_x";
  ASSERT_EQ(::mkdir(oddBase.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(oddBase + "/plugin_customization.ini", "a=1\n"));
  EXPECT_TRUE(InstanceService(odd.rcphome()).mergePluginCustomizationWithBase(hotfix));
  EXPECT_EQ(testing::readFile(oddBase + "/plugin_customization.ini"), "a=1\n");
  EXPECT_FALSE(odd.has("plugin_customization.ini"));
}

}  // namespace
}  // namespace rcpinstall
