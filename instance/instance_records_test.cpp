#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "instance/instance_service.h"
#include "instance/instance_testing.h"
#include "os/plist_value.h"

namespace rcpinstall {
namespace {

using instance_testing::LogCapture;
using instance_testing::modeOf;
using instance_testing::ScratchInstance;
using os::PlistArray;
using os::PlistDictionary;
using os::PlistValue;
using ::testing::Contains;

PlistValue readPlist(const std::string& path) {
  return os::readPlistFile(path).value_or(PlistValue("<unreadable>"));
}

TEST(InstanceRecordsTest, InstanceWithoutRcphomeAnswersEmptyAndWritesNothing) {
  testing::ScratchDirectory dir("instance");
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>(dir / "missing"),
        std::optional<std::string>("")}) {
    InstanceService service(path);
    EXPECT_EQ(service.pathToRcphome(), std::nullopt);
    EXPECT_FALSE(service.hasInstanceInstalled());
    EXPECT_EQ(service.getBaseVersion(), std::nullopt);
    EXPECT_EQ(service.getInstalledVersion(), std::nullopt);
    EXPECT_EQ(service.getCurrentHotfixVersion(), std::nullopt);
    EXPECT_FALSE(service.isHotfixApplied());
    EXPECT_EQ(service.getInstalledTargetVersion(), std::nullopt);
    EXPECT_EQ(service.getProvisioningResult(), -1);
    EXPECT_EQ(service.getRegistryInfoForAddon("a"), std::nullopt);
    EXPECT_FALSE(service.updateHotfixVersion("1.0"));
    EXPECT_FALSE(service.setInstalledVersion("1.0"));
    EXPECT_FALSE(service.updateProvisionManifestVersion("0101010101"));
    EXPECT_FALSE(service.copyUpdateManifest(dir / "missing", std::nullopt));
  }
  EXPECT_FALSE(testing::readFile(dir / "missing/installInfo.plist").has_value());
}

TEST(InstanceRecordsTest, RecognisesAnInstanceByItsInstallManifest) {
  ScratchInstance instance;
  InstanceService service(instance.rcphome());
  EXPECT_EQ(service.pathToRcphome(), instance.rcphome());
  EXPECT_FALSE(service.hasInstanceInstalled());
  ASSERT_TRUE(instance.write("deploy/install.xml", "<manifest/>"));
  EXPECT_TRUE(service.hasInstanceInstalled());

  // A plain file is accepted as the rcp home (only existence counts); nothing below it does.
  const std::string file = instance.scratch() + "/plain";
  ASSERT_TRUE(testing::writeFile(file, "x"));
  InstanceService onFile(file);
  EXPECT_EQ(onFile.pathToRcphome(), file);
  EXPECT_FALSE(onFile.hasInstanceInstalled());
  EXPECT_EQ(onFile.getBaseVersion(), std::nullopt);
}

TEST(InstanceRecordsTest, BaseVersionIsTheTextuallyGreatest) {
  struct Row {
    std::vector<std::string> entries;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {{"com.zantec.rcp.base_6.1.0.20081020", "com.zantec.rcp.base_6.2.0.20090101-0100",
        "com.zantec.rcp.basex_9"},
       "6.2.0.20090101-0100"},
      {{"com.zantec.rcp.base_8.0_2009"}, "8.0"},
      {{"com.zantec.rcp.base_"}, ""},
      {{"com.zantec.rcp.base_10.0.0", "com.zantec.rcp.base_9.0.0"}, "9.0.0"},
      {{"com.zantec.rcp.BASE_7.0", "org.other_1.0", "xcom.zantec.rcp.base_5"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const Row& row : rows) {
    ScratchInstance instance;
    for (size_t i = 0; i < row.entries.size(); ++i) {
      // Entries need not be directories: every other one is a plain file.
      const std::string path = instance.plugins() + "/" + row.entries[i];
      if (i % 2 == 0) {
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
      } else {
        ASSERT_TRUE(testing::writeFile(path, ""));
      }
    }
    EXPECT_EQ(InstanceService(instance.rcphome()).getBaseVersion(), row.expected)
        << ::testing::PrintToString(row.entries);
  }

  ScratchInstance noPlugins;
  ASSERT_TRUE(testing::removeTree(noPlugins.plugins()));
  EXPECT_EQ(InstanceService(noPlugins.rcphome()).getBaseVersion(), std::nullopt);
}

TEST(InstanceRecordsTest, VersionRecordReadsAndWrites) {
  ScratchInstance instance;
  InstanceService service(instance.rcphome());
  const std::string record = instance / "installInfo.plist";
  {
    LogCapture log;
    EXPECT_EQ(service.getInstalledVersion(), std::nullopt);
    EXPECT_THAT(log.lines(), Contains("<Info>: Get installInfo: " + record));
  }

  // A missing record is created holding just the key written.
  ASSERT_TRUE(service.updateHotfixVersion("1.0.2"));
  EXPECT_EQ(readPlist(record), PlistValue(PlistDictionary{{"hotfixVersion", "1.0.2"}}));
  EXPECT_TRUE(service.isHotfixApplied());
  EXPECT_EQ(service.getCurrentHotfixVersion(), "1.0.2");

  // Other keys survive a rewrite; clearing the hotfix leaves them alone.
  PlistDictionary withExtra{{"version", "6.2"}, {"hotfixVersion", "1.0.2"}, {"vendor", 7}};
  ASSERT_TRUE(os::writePlistFile(record, PlistValue(withExtra)));
  ASSERT_TRUE(service.setInstalledVersion("6.3"));
  EXPECT_FALSE(service.setInstalledVersion(std::nullopt));
  EXPECT_EQ(service.getInstalledVersion(), "6.3");
  ASSERT_TRUE(service.updateHotfixVersion(std::nullopt));
  EXPECT_EQ(readPlist(record), PlistValue(PlistDictionary{{"version", "6.3"}, {"vendor", 7}}));
  EXPECT_FALSE(service.isHotfixApplied());
  EXPECT_EQ(service.getCurrentHotfixVersion(), std::nullopt);

  // Clearing on an instance without a record creates an empty dictionary.
  ScratchInstance fresh;
  ASSERT_TRUE(InstanceService(fresh.rcphome()).updateHotfixVersion(std::nullopt));
  EXPECT_EQ(readPlist(fresh / "installInfo.plist"), PlistValue(PlistDictionary{}));
}

TEST(InstanceRecordsTest, DamagedRecordIsNeitherReadNorOverwritten) {
  for (const std::string& damaged :
       {std::string("not a property list"), serializePlistXml(PlistValue(PlistArray{"a"}))}) {
    ScratchInstance instance;
    ASSERT_TRUE(instance.write("installInfo.plist", damaged));
    InstanceService service(instance.rcphome());
    EXPECT_EQ(service.getCurrentHotfixVersion(), std::nullopt);
    EXPECT_EQ(service.getInstalledVersion(), std::nullopt);
    EXPECT_FALSE(service.updateHotfixVersion("2.0"));
    EXPECT_FALSE(service.updateHotfixVersion(std::nullopt));
    EXPECT_EQ(instance.read("installInfo.plist"), damaged);
  }
}

TEST(InstanceRecordsTest, RecordRewriteKeepsTheFileMode) {
  ScratchInstance instance;
  const std::string record = instance / "installInfo.plist";
  ASSERT_TRUE(os::writePlistFile(record, PlistValue(PlistDictionary{{"version", "6.2"}})));
  ASSERT_EQ(::chmod(record.c_str(), 0600), 0);
  ASSERT_TRUE(InstanceService(instance.rcphome()).updateHotfixVersion("1.1"));
  EXPECT_EQ(modeOf(record), 0600u);
}

TEST(InstanceRecordsTest, ApplicationVersionComesFromTheEnclosingBundle) {
  ScratchInstance instance;
  const std::string infoPlist = instance.bundle() + "/Contents/Info.plist";
  InstanceService service(instance.rcphome());
  EXPECT_EQ(service.getInstalledTargetVersion(), std::nullopt);
  ASSERT_TRUE(os::writePlistFile(
      infoPlist, PlistValue(PlistDictionary{{"CFBundleShortVersionString", "6.2.1"}})));
  {
    LogCapture log;
    EXPECT_EQ(service.getInstalledTargetVersion(), "6.2.1");
    EXPECT_THAT(log.lines(), Contains("<Info>: Get Info.plist: " + infoPlist));
  }
  // An rcp home outside any application bundle has no application version.
  testing::ScratchDirectory loose("loose");
  EXPECT_EQ(InstanceService(loose.path()).getInstalledTargetVersion(), std::nullopt);
}

TEST(InstanceRecordsTest, ProvisioningResultCodes) {
  struct Row {
    std::string fileContent;
    int expected;
  };
  const Row rows[] = {
      {"rc=0\n", 0},
      {"rc=2\n", 0},
      {"rc = 2\n", 0},
      {"rc=+2\n", 0},
      {"rc=02\n", 0},
      {"rc=-0\n", 0},
      {"rc=2 features missing\n", 0},  // the leading number counts
      {"rc=1\n", -1},
      {"rc=-1\n", -1},
      {"rc=3\n", -1},
      {"rc=4294967296\n", -1},  // beyond the int range: not 0
      {"rc=-4294967294\n", -1},
      // Damaged values read as failures, never as success.
      {"rc=abc\n", -1},
      {"rc=\n", -1},
      {"rc\n", -1},
      {"rc=-\n", -1},
      {"code=0\n", -1},
      {"", -1},
      {std::string("\x00\xff\xfe garbage", 11), -1},
  };
  for (const Row& row : rows) {
    ScratchInstance instance;
    ASSERT_TRUE(testing::writeFile(instance.platformHome() + "/.provisioning_rc", row.fileContent));
    EXPECT_EQ(InstanceService(instance.rcphome()).getProvisioningResult(), row.expected)
        << row.fileContent;
  }

  // The result lives in the platform home: one in the rcp home is not it.
  ScratchInstance misplaced;
  ASSERT_TRUE(misplaced.write(".provisioning_rc", "rc=0\n"));
  EXPECT_EQ(InstanceService(misplaced.rcphome()).getProvisioningResult(), -1);
}

TEST(InstanceRecordsTest, RemovingTheResultFile) {
  ScratchInstance instance;
  const std::string result = instance.platformHome() + "/.provisioning_rc";
  InstanceService service(instance.rcphome());
  EXPECT_TRUE(service.removeProvisionRCFile());  // nothing there
  ASSERT_TRUE(testing::writeFile(result, "rc=0\n"));
  EXPECT_TRUE(service.removeProvisionRCFile());
  EXPECT_FALSE(testing::readFile(result).has_value());
  EXPECT_EQ(service.getProvisioningResult(), -1);

  // Whatever entry holds the name goes, so an old result is never read again.
  ASSERT_EQ(::mkdir(result.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(result + "/inner", "x"));
  EXPECT_TRUE(service.removeProvisionRCFile());
  struct stat st {};
  EXPECT_NE(::lstat(result.c_str(), &st), 0);
}

TEST(InstanceRecordsTest, AddonRegistry) {
  ScratchInstance instance;
  const std::string registry = instance / "addonInfo.plist";
  InstanceService service(instance.rcphome());
  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), std::nullopt);

  const PlistValue first(PlistDictionary{{"ID", "com.a"}, {"version", "1.0"}, {"extra", true}});
  const PlistValue second(PlistDictionary{{"ID", "com.a"}, {"version", "2.0"}});
  const PlistValue third(PlistDictionary{{"ID", "com.b"}, {"version", 3}});
  const PlistValue noID(PlistDictionary{{"version", "9.9"}});
  const PlistValue root(PlistDictionary{
      {"addons", PlistArray{noID, "not a dictionary", first, second, third}}, {"kept", "yes"}});
  ASSERT_TRUE(os::writePlistFile(registry, root));

  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), first);  // the first of two
  EXPECT_EQ(service.getAddonInstalledVersion("com.a"), "1.0");
  EXPECT_EQ(service.getRegistryInfoForAddon("com.b"), third);
  EXPECT_EQ(service.getAddonInstalledVersion("com.b"), std::nullopt);  // not a text
  EXPECT_EQ(service.getRegistryInfoForAddon("COM.A"), std::nullopt);
  EXPECT_EQ(service.getRegistryInfoForAddon(std::nullopt), std::nullopt);

  // Removal rewrites the file without the first match; everything else stays in order.
  EXPECT_FALSE(service.removeRegistryInfoforAddon("com.missing"));
  EXPECT_EQ(readPlist(registry), root);
  ASSERT_TRUE(service.removeRegistryInfoforAddon("com.a"));
  EXPECT_EQ(readPlist(registry),
            PlistValue(PlistDictionary{
                {"addons", PlistArray{noID, "not a dictionary", second, third}}, {"kept", "yes"}}));
  EXPECT_EQ(service.getAddonInstalledVersion("com.a"), "2.0");

  // A registry without "addons", or that is not a dictionary, holds no add-on.
  ASSERT_TRUE(os::writePlistFile(registry, PlistValue(PlistDictionary{{"addons", "x"}})));
  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), std::nullopt);
  EXPECT_FALSE(service.removeRegistryInfoforAddon("com.a"));
  ASSERT_TRUE(testing::writeFile(registry, "garbage"));
  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), std::nullopt);
  EXPECT_FALSE(service.removeRegistryInfoforAddon("com.a"));
  EXPECT_EQ(testing::readFile(registry), "garbage");
}

}  // namespace
}  // namespace rcpinstall
