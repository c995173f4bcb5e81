#include "rcpsim/sample_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "foundation/install_manifest.h"
#include "instance/instance_service.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall::rcpsim {
namespace {

using ::testing::HasSubstr;

bool present(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

testing::RunResult rcpsim(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), testing::binDir() + "/rcpsim");
  return testing::runProgram(arguments);
}

TEST(SampleLayoutTest, ProductIsAnInstalledInstance) {
  testing::ScratchDirectory dir("layout");
  ASSERT_EQ(rcpsim({"product", dir.path(), "--app-version", "6.3.0", "--hotfix-version", "1.0.1"})
                .exitStatus,
            0);
  const std::string rcphome = dir / "Orrery.app/Contents/MacOS/rcp";
  InstanceService service(rcphome);
  EXPECT_TRUE(service.hasInstanceInstalled());
  EXPECT_EQ(service.getBaseVersion(), "6.2.0.20090101-0100");
  EXPECT_EQ(service.getInstalledVersion(), "6.2.1");
  EXPECT_EQ(service.getInstalledTargetVersion(), "6.3.0");
  EXPECT_EQ(service.getCurrentHotfixVersion(), "1.0.1");
  EXPECT_EQ(InstallManifest(rcphome + "/deploy/install.xml")
                .checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt),
            "1.0.1");
  EXPECT_EQ(testing::readFile(rcphome + "/ignitor"),
            testing::readFile(testing::binDir() + "/ignitor"));
  EXPECT_EQ(::access((rcphome + "/ignitor").c_str(), X_OK), 0);

  testing::ScratchDirectory bare("layout");
  ASSERT_EQ(
      rcpsim({"product", bare.path(), "--without", "install-manifest", "--without", "ignitor"})
          .exitStatus,
      0);
  EXPECT_FALSE(InstanceService(bare / "Orrery.app/Contents/MacOS/rcp").hasInstanceInstalled());
  EXPECT_FALSE(present(bare / "Orrery.app/Contents/MacOS/rcp/ignitor"));
}

TEST(SampleLayoutTest, HotfixPackageAtTheDefaultLocations) {
  testing::ScratchDirectory dir("layout");
  ASSERT_EQ(
      rcpsim({"hotfix", dir.path(), "--version", "1.0.3", "--allow-multi-instance"}).exitStatus, 0);
  const std::string package = dir / "Hotfix.mpkg/Contents/Packages/hotfix.pkg";
  using os::PlistValue;
  EXPECT_EQ(os::readPlistFile(package + "/Contents/Resources/hotfix.plist"),
            PlistValue(os::PlistDictionary{{"bundleName", "Orrery"},
                                           {"frameworkPath", "Contents/MacOS"},
                                           {"allowMultiInstance", true},
                                           {"version", "1.0.3"}}));
  // The settings' default paths, resolved through the real file system.
  const std::string deploy = package + "/../deploy";
  EXPECT_THAT(testing::readFile(deploy + "/install.hotfix.xml").value_or(""),
              HasSubstr("url=\"${installer.root}/../../updates/platform/features/"
                        "com.zantec.orrery.fix.core_1.0.3.jar\""));
  for (const char* file :
       {"uninstall.hotfix.xml", "plugin_customization.ini", ".keystore", "extras/docs/notes.txt",
        "../../updates/platform/features/com.zantec.rcp.fix.base_1.0.3.jar"}) {
    EXPECT_TRUE(present(deploy + "/" + file)) << file;
  }
}

TEST(SampleLayoutTest, CommandLine) {
  const testing::RunResult help = rcpsim({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* text :
       {"rcpsim product <dir>", "rcpsim hotfix <dir>", "ignitor.fault", "rc=TEXT", "result=none",
        "crash=true", "sleep=SECONDS", "garbage=true"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  testing::ScratchDirectory dir("layout");
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{}, "a command is needed"},
      {{"product"}, "product needs a directory"},
      {{"product", dir.path(), "--colour", "red"}, "unknown option for product: --colour"},
      {{"product", dir.path(), "--version"}, "--version needs a value"},
      {{"hotfix", dir.path(), "--without", "ignitor"}, "unknown part for --without: ignitor"},
      {{"hotfix", dir.path(), "--feature", "nocolon"}, "--feature wants ID:VERSION, not nocolon"},
  };
  for (const auto& [arguments, message] : rows) {
    const testing::RunResult run = rcpsim(arguments);
    EXPECT_EQ(run.exitStatus, 2) << message;
    EXPECT_THAT(run.err, HasSubstr("rcpsim: " + message + "\n"));
  }
  ASSERT_TRUE(testing::writeFile(dir / "file", "x"));
  const testing::RunResult blocked = rcpsim({"product", dir / "file"});
  EXPECT_EQ(blocked.exitStatus, 1);
  EXPECT_THAT(blocked.err, HasSubstr("rcpsim: cannot write " + (dir / "file")));
}

}  // namespace
}  // namespace rcpinstall::rcpsim
