#include "rcpsim/sample_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "foundation/install_manifest.h"
#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "os/plist_value.h"
#include "rcpsim/rcpsim_testing.h"

namespace rcpinstall::rcpsim {
namespace {

using os::PlistDictionary;
using os::PlistValue;
using ::testing::HasSubstr;
using ::testing::Not;

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
  const testing::RunResult run = rcpsim({"product", dir.path(), "--app-version", "6.3.0"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string rcphome = dir / "Orrery.app/Contents/MacOS/rcp";
  EXPECT_THAT(run.out, HasSubstr("rcp home: " + rcphome + "\n"));

  InstanceService service(rcphome);
  EXPECT_TRUE(service.hasInstanceInstalled());
  EXPECT_EQ(service.getBaseVersion(), "6.2.0.20090101-0100");
  EXPECT_EQ(service.getInstalledVersion(), "6.2.1");
  EXPECT_EQ(service.getInstalledTargetVersion(), "6.3.0");
  EXPECT_FALSE(service.isHotfixApplied());
  EXPECT_FALSE(present(rcphome + "/deploy/uninstall.hotfix.xml"));

  // The launcher is a copy of the simulated one, ready to run.
  struct stat st {};
  ASSERT_EQ(::stat((rcphome + "/ignitor").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(testing::readFile(rcphome + "/ignitor"),
            testing::readFile(testing::binDir() + "/ignitor"));

  const JavaProperties::Table launcher =
      JavaProperties::parse(testing::readFile(rcphome + "/ignitor.properties").value_or(""));
  EXPECT_EQ(launcher.at("rcp.data"), dir / "Orrery.app/Contents/MacOS/workspace");
  EXPECT_EQ(launcher.at("provisioning.manifest.version"), "0101260000");
  EXPECT_EQ(launcher.at("provisioning.manifest"), "file:/${rcp.home}/rcp/deploy/install.xml");
  EXPECT_TRUE(present(rcphome + "/eclipse/plugins/com.zantec.rcp.base_6.2.0.20090101-0100/"
                                "plugin_customization.ini"));
  const InstallManifest manifest(rcphome + "/deploy/install.xml");
  EXPECT_EQ(manifest.checkInstalledFeature("com.zantec.orrery", std::nullopt), "6.2.1");
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "com.zantec.rcp.base"),
            "6.2.0.20090101-0100");
  EXPECT_TRUE(present(rcphome + "/eclipse/features/com.zantec.orrery.core_6.2.1.jar"));
  EXPECT_TRUE(present(dir / "Orrery.app/Contents/MacOS/shared"));
}

TEST(SampleLayoutTest, ProductWithAnInstalledHotfix) {
  testing::ScratchDirectory dir("layout");
  ASSERT_EQ(rcpsim({"product", dir.path(), "--name", "Atlas", "--hotfix-version", "1.0.1",
                    "--rcp-data", "${env.HOME}/Atlas", "--framework-path", "Contents/Frameworks"})
                .exitStatus,
            0);
  const std::string rcphome = dir / "Atlas.app/Contents/Frameworks/rcp";
  InstanceService service(rcphome);
  EXPECT_EQ(service.getCurrentHotfixVersion(), "1.0.1");
  EXPECT_EQ(InstallManifest(rcphome + "/deploy/install.xml")
                .checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt),
            "1.0.1");
  EXPECT_THAT(testing::readFile(rcphome + "/deploy/uninstall.hotfix.xml").value_or(""),
              HasSubstr("action=\"uninstall\""));
  EXPECT_EQ(JavaProperties::parse(testing::readFile(rcphome + "/ignitor.properties").value_or(""))
                .at("rcp.data"),
            "${env.HOME}/Atlas");
  EXPECT_EQ(os::readPlistFile(dir / "Atlas.app/Contents/Info.plist")
                ->find("CFBundleExecutable")
                ->asString()[0],
            "Atlas");
}

TEST(SampleLayoutTest, ProductPartsCanBeLeftOut) {
  struct Row {
    std::string part;
    std::string path;  // below the rcp home ("../" for the platform home)
  };
  const Row rows[] = {
      {"info-plist", "../../Info.plist"},
      {"ignitor", "ignitor"},
      {"ignitor-properties", "ignitor.properties"},
      {"install-manifest", "deploy/install.xml"},
      {"base-plugin", "eclipse/plugins/com.zantec.rcp.base_6.2.0.20090101-0100"},
      {"features", "eclipse/features/com.zantec.orrery.core_6.2.1.jar"},
      {"install-info", "installInfo.plist"},
      {"uninstall-manifest", "deploy/uninstall.hotfix.xml"},
      {"shared", "../shared"},
      {"plugin-customization", "plugin_customization.ini"},
      {"keystore", "deploy/.keystore"},
  };
  for (const Row& row : rows) {
    testing::ScratchDirectory dir("layout");
    const std::string path = dir / ("Orrery.app/Contents/MacOS/rcp/" + row.path);
    ASSERT_EQ(rcpsim({"product", dir.path(), "--hotfix-version", "1.0.1"}).exitStatus, 0);
    EXPECT_TRUE(present(path)) << row.part;
    testing::ScratchDirectory leftOut("layout");
    ASSERT_EQ(
        rcpsim({"product", leftOut.path(), "--hotfix-version", "1.0.1", "--without", row.part})
            .exitStatus,
        0);
    EXPECT_FALSE(present(leftOut / ("Orrery.app/Contents/MacOS/rcp/" + row.path))) << row.part;
  }
  testing::ScratchDirectory dir("layout");
  ASSERT_EQ(
      rcpsim({"product", dir.path(), "--without", "rcp-data", "--without", "manifest-version"})
          .exitStatus,
      0);
  const JavaProperties::Table launcher = JavaProperties::parse(
      testing::readFile(dir / "Orrery.app/Contents/MacOS/rcp/ignitor.properties").value_or(""));
  EXPECT_EQ(launcher.count("rcp.data"), 0u);
  EXPECT_EQ(launcher.count("provisioning.manifest.version"), 0u);
}

TEST(SampleLayoutTest, HotfixPackageAtTheDefaultLocations) {
  testing::ScratchDirectory dir("layout");
  const testing::RunResult run =
      rcpsim({"hotfix", dir.path(), "--version", "1.0.3", "--allow-multi-instance"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string package = dir / "Hotfix.mpkg/Contents/Packages/hotfix.pkg";
  EXPECT_THAT(run.out, HasSubstr("package: " + package + "\n"));
  EXPECT_EQ(os::readPlistFile(package + "/Contents/Resources/hotfix.plist"),
            PlistValue(PlistDictionary{{"bundleName", "Orrery"},
                                       {"frameworkPath", "Contents/MacOS"},
                                       {"allowMultiInstance", true},
                                       {"version", "1.0.3"}}));
  // The settings' default paths, resolved through the real file system.
  const std::string deploy = package + "/../deploy";
  const std::string manifest = testing::readFile(deploy + "/install.hotfix.xml").value_or("");
  EXPECT_THAT(manifest, HasSubstr("url=\"${installer.root}/../../updates/platform/features/"
                                  "com.zantec.orrery.fix.core_1.0.3.jar\""));
  EXPECT_EQ(InstallManifest(deploy + "/install.hotfix.xml")
                .checkInstalledFeature(HOTFIX_INSTALL_FEATURE, std::nullopt),
            "1.0.3");
  EXPECT_THAT(testing::readFile(deploy + "/uninstall.hotfix.xml").value_or(""),
              HasSubstr("<installfeature id=\"com.zantec.orrery.hotfix\" version=\"1.0.3\" "
                        "action=\"uninstall\">"));
  for (const char* file :
       {"plugin_customization.ini", ".keystore", "extras/readme.txt", "extras/docs/notes.txt"}) {
    EXPECT_TRUE(present(deploy + "/" + file)) << file;
  }
  for (const auto& [id, version] : defaultHotfixFeatures("1.0.3")) {
    EXPECT_TRUE(
        present(package + "/../../updates/platform/features/" + id + "_" + version + ".jar"))
        << id;
  }
}

TEST(SampleLayoutTest, HotfixOptions) {
  testing::ScratchDirectory dir("layout");
  ASSERT_EQ(rcpsim({"hotfix", dir.path(), "--feature", "a.b:2.0", "--feature", "c:1", "--no-url",
                    "--unfetchable", "c", "--without", "extras", "--without", "keystore"})
                .exitStatus,
            0);
  const std::string deploy = dir / "Hotfix.mpkg/Contents/Packages/deploy";
  const std::string site = dir / "Hotfix.mpkg/Contents/updates/platform";
  const std::string manifest = testing::readFile(deploy + "/install.hotfix.xml").value_or("");
  EXPECT_THAT(manifest, HasSubstr("<feature id=\"a.b\" version=\"2.0\"/>"));
  EXPECT_THAT(manifest, Not(HasSubstr("url=")));
  EXPECT_TRUE(present(site + "/features/a.b_2.0.jar"));
  EXPECT_FALSE(present(site + "/features/c_1.jar"));
  EXPECT_FALSE(present(deploy + "/extras"));
  EXPECT_FALSE(present(deploy + "/.keystore"));
  EXPECT_TRUE(present(deploy + "/plugin_customization.ini"));

  testing::ScratchDirectory bare("layout");
  ASSERT_EQ(rcpsim({"hotfix", bare.path(), "--without", "settings", "--without", "update-site",
                    "--without", "install-manifest"})
                .exitStatus,
            0);
  EXPECT_FALSE(
      present(bare / "Hotfix.mpkg/Contents/Packages/hotfix.pkg/Contents/Resources/hotfix.plist"));
  EXPECT_TRUE(present(bare / "Hotfix.mpkg/Contents/Packages/hotfix.pkg/Contents/Resources"));
  EXPECT_FALSE(present(bare / "Hotfix.mpkg/Contents/updates"));
  EXPECT_FALSE(present(bare / "Hotfix.mpkg/Contents/Packages/deploy/install.hotfix.xml"));
}

TEST(SampleLayoutTest, CommandLine) {
  const testing::RunResult help = rcpsim({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* text : {"rcpsim product <dir>", "rcpsim hotfix <dir>", "ignitor.fault",
                           "rc=TEXT", "result=none", "crash=true", "sleep=SECONDS", "garbage=true",
                           "--without PART", "--hotfix-version", "--unfetchable"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  testing::ScratchDirectory dir("layout");
  struct Row {
    std::vector<std::string> arguments;
    std::string message;
  };
  const Row rows[] = {
      {{}, "a command is needed"},
      {{"install", dir.path()}, "unknown command: install"},
      {{"product"}, "product needs a directory"},
      {{"product", dir.path(), "--colour", "red"}, "unknown option for product: --colour"},
      {{"product", dir.path(), "--version"}, "--version needs a value"},
      {{"product", dir.path(), "--without", "wings"}, "unknown part for --without: wings"},
      {{"hotfix", dir.path(), "--feature", "nocolon"}, "--feature wants ID:VERSION, not nocolon"},
      {{"hotfix", dir.path(), "--without", "ignitor"}, "unknown part for --without: ignitor"},
  };
  for (const Row& row : rows) {
    const testing::RunResult run = rcpsim(row.arguments);
    EXPECT_EQ(run.exitStatus, 2) << row.message;
    EXPECT_THAT(run.err, HasSubstr("rcpsim: " + row.message + "\n")) << run.err;
  }
  // A directory that cannot be made is a failure with a reason.
  ASSERT_TRUE(testing::writeFile(dir / "file", "x"));
  const testing::RunResult blocked = rcpsim({"product", dir / "file"});
  EXPECT_EQ(blocked.exitStatus, 1);
  EXPECT_THAT(blocked.err, HasSubstr("rcpsim: cannot write " + (dir / "file")));
}

}  // namespace
}  // namespace rcpinstall::rcpsim
