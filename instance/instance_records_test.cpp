#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "instance/instance_service.h"
#include "instance/instance_testing.h"
#include "os/plist_value.h"

namespace rcpinstall {
namespace {

using instance_testing::LogCapture;
using instance_testing::ScratchInstance;
using os::PlistArray;
using os::PlistDictionary;
using os::PlistValue;

PlistValue readPlist(const std::string& path) {
  return os::readPlistFile(path).value_or(PlistValue("<unreadable>"));
}

TEST(InstanceRecordsTest, InstanceWithoutRcphomeAnswersEmptyAndWritesNothing) {
  testing::ScratchDirectory dir("instance");
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>(dir / "missing")}) {
    InstanceService service(path);
    EXPECT_EQ(service.pathToRcphome(), std::nullopt);
    EXPECT_FALSE(service.hasInstanceInstalled());
    EXPECT_EQ(service.getCurrentHotfixVersion(), std::nullopt);
    EXPECT_EQ(service.getProvisioningResult(), -1);
    EXPECT_FALSE(service.updateHotfixVersion("1.0"));
    EXPECT_FALSE(service.copyUpdateManifest(dir / "missing", std::nullopt));
    EXPECT_EQ(service.launcherPath(), std::nullopt) << "no relative launcher name";
  }
  EXPECT_FALSE(testing::readFile(dir / "missing/installInfo.plist").has_value());
}

TEST(InstanceRecordsTest, LauncherIsAnAbsolutePathInsideAnExistingPlatform) {
  testing::ScratchDirectory dir("launcher");
  ASSERT_EQ(::mkdir((dir / "rcp").c_str(), 0755), 0);
  char before[4096];
  ASSERT_NE(::getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  InstanceService relative(std::string("rcp"));
  EXPECT_EQ(relative.launcherPath(), dir / "rcp/ignitor");
  ASSERT_EQ(::chdir(before), 0);
  ASSERT_EQ(::rmdir((dir / "rcp").c_str()), 0);
  EXPECT_EQ(relative.launcherPath(), std::nullopt) << "the platform is gone";
}

TEST(InstanceRecordsTest, BaseVersionIsTheTextuallyGreatest) {
  const std::pair<std::vector<std::string>, std::optional<std::string>> rows[] = {
      {{"com.zantec.rcp.base_6.1.0.20081020", "com.zantec.rcp.base_6.2.0.20090101-0100",
        "com.zantec.rcp.basex_9"},
       "6.2.0.20090101-0100"},
      {{"com.zantec.rcp.base_8.0_2009"}, "8.0"},
      {{"com.zantec.rcp.base_"}, ""},
      {{"com.zantec.rcp.base_10.0.0", "com.zantec.rcp.base_9.0.0"}, "9.0.0"},
      {{"com.zantec.rcp.BASE_7.0", "xcom.zantec.rcp.base_5"}, std::nullopt},
  };
  for (const auto& [entries, expected] : rows) {
    ScratchInstance instance;
    for (const std::string& entry : entries) {
      ASSERT_TRUE(testing::writeFile(instance.plugins() + "/" + entry, ""));  // files count too
    }
    EXPECT_EQ(InstanceService(instance.rcphome()).getBaseVersion(), expected)
        << ::testing::PrintToString(entries);
  }
}

TEST(InstanceRecordsTest, VersionRecordReadsAndWrites) {
  ScratchInstance instance;
  InstanceService service(instance.rcphome());
  const std::string record = instance / "installInfo.plist";
  {
    LogCapture log;
    EXPECT_EQ(service.getInstalledVersion(), std::nullopt);
    EXPECT_THAT(log.lines(), ::testing::ElementsAre("<Info>: Get installInfo: " + record));
  }
  ASSERT_TRUE(service.updateHotfixVersion("1.0.2"));  // a missing record holds just that key
  EXPECT_EQ(readPlist(record), PlistValue(PlistDictionary{{"hotfixVersion", "1.0.2"}}));
  EXPECT_TRUE(service.isHotfixApplied());

  ASSERT_TRUE(os::writePlistFile(
      record, PlistValue(PlistDictionary{{"version", "6.2"}, {"hotfixVersion", "1"}, {"k", 7}})));
  ASSERT_TRUE(service.setInstalledVersion("6.3"));
  ASSERT_TRUE(service.updateHotfixVersion(std::nullopt));
  EXPECT_EQ(readPlist(record), PlistValue(PlistDictionary{{"version", "6.3"}, {"k", 7}}));
  EXPECT_FALSE(service.isHotfixApplied());

  // A record that is not a dictionary is neither read nor overwritten.
  ASSERT_TRUE(testing::writeFile(record, serializePlistXml(PlistValue(PlistArray{"a"}))));
  EXPECT_EQ(service.getInstalledVersion(), std::nullopt);
  EXPECT_FALSE(service.updateHotfixVersion("2.0"));
  EXPECT_EQ(testing::readFile(record), serializePlistXml(PlistValue(PlistArray{"a"})));
}

TEST(InstanceRecordsTest, ApplicationVersionComesFromTheEnclosingBundle) {
  ScratchInstance instance;
  ASSERT_TRUE(
      os::writePlistFile(instance.bundle() + "/Contents/Info.plist",
                         PlistValue(PlistDictionary{{"CFBundleShortVersionString", "6.2.1"}})));
  EXPECT_EQ(InstanceService(instance.rcphome()).getInstalledTargetVersion(), "6.2.1");
  testing::ScratchDirectory loose("loose");  // not inside an application bundle
  EXPECT_EQ(InstanceService(loose.path()).getInstalledTargetVersion(), std::nullopt);
}

TEST(InstanceRecordsTest, ProvisioningResult) {
  const std::pair<std::string, int> rows[] = {
      {"rc=0\n", 0},
      {"rc = 2\n", 0},
      {"rc=+2\n", 0},
      {"rc=2 missing\n", 0},
      {"rc=1\n", -1},
      {"rc=-1\n", -1},
      {"rc=3\n", -1},
      {"rc=4294967296\n", -1},
      // A damaged value reads as a failure, never as success.
      {"rc=abc\n", -1},
      {"rc=\n", -1},
      {"rc=-\n", -1},
      {"code=0\n", -1},
      {std::string("\x00\xff garbage", 10), -1},
  };
  for (const auto& [content, expected] : rows) {
    ScratchInstance instance;
    ASSERT_TRUE(testing::writeFile(instance.platformHome() + "/.provisioning_rc", content));
    EXPECT_EQ(InstanceService(instance.rcphome()).getProvisioningResult(), expected) << content;
  }

  // The result lives in the platform home; removing it takes whatever holds the name.
  ScratchInstance instance;
  InstanceService service(instance.rcphome());
  ASSERT_TRUE(instance.write(".provisioning_rc", "rc=0\n"));
  EXPECT_EQ(service.getProvisioningResult(), -1);
  EXPECT_TRUE(service.removeProvisionRCFile());
  const std::string result = instance.platformHome() + "/.provisioning_rc";
  ASSERT_EQ(::mkdir(result.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(result + "/inner", "rc=0\n"));
  EXPECT_TRUE(service.removeProvisionRCFile());
  struct stat st {};
  EXPECT_NE(::lstat(result.c_str(), &st), 0);
}

TEST(InstanceRecordsTest, AddonRegistry) {
  ScratchInstance instance;
  const std::string registry = instance / "addonInfo.plist";
  InstanceService service(instance.rcphome());
  const PlistValue first(PlistDictionary{{"ID", "com.a"}, {"version", "1.0"}, {"extra", true}});
  const PlistValue second(PlistDictionary{{"ID", "com.a"}, {"version", "2.0"}});
  const PlistValue noID(PlistDictionary{{"version", "9.9"}});
  const PlistValue root(
      PlistDictionary{{"addons", PlistArray{noID, "not a dictionary", first, second}}, {"k", "v"}});
  ASSERT_TRUE(os::writePlistFile(registry, root));

  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), first);  // the first of two
  EXPECT_EQ(service.getAddonInstalledVersion("com.a"), "1.0");
  EXPECT_EQ(service.getRegistryInfoForAddon("COM.A"), std::nullopt);
  EXPECT_FALSE(service.removeRegistryInfoforAddon("com.missing"));
  EXPECT_EQ(readPlist(registry), root);
  // Removal rewrites the file without the first match; everything else stays in order.
  ASSERT_TRUE(service.removeRegistryInfoforAddon("com.a"));
  EXPECT_EQ(readPlist(registry),
            PlistValue(PlistDictionary{{"addons", PlistArray{noID, "not a dictionary", second}},
                                       {"k", "v"}}));
  ASSERT_TRUE(testing::writeFile(registry, "garbage"));
  EXPECT_EQ(service.getRegistryInfoForAddon("com.a"), std::nullopt);
  EXPECT_FALSE(service.removeRegistryInfoforAddon("com.a"));
  EXPECT_EQ(testing::readFile(registry), "garbage");
}

}  // namespace
}  // namespace rcpinstall
