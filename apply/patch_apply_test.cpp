// Tests of patchapply's entry: where it finds the product and how versions order.
#include "apply/patch_apply.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "foundation/string_util.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;
using testing::ScratchDirectory;

std::string at(const std::string& text, const std::string& root) {
  return StringUtil::stringByReplacingOccurrencesOfString(text, "@", root);
}

std::string rcpHomeIn(const InstallTarget& target) {
  const PlistValue* value = target.properties.find(KEY_RCP_HOME);
  return value != nullptr && value->asString() != nullptr ? *value->asString() : "<none>";
}

TEST(InstallTarget, ProductIsFoundByTheMultiInstanceAndRegistryRules) {
  enum class Settings { Write, Missing, NotAPlist, ArrayRoot };
  struct Case {
    const char* name;
    Settings settings;
    os::PlistDictionary entries;
    std::optional<std::string> registered;  // pathToProduct in the registry ("@" = scratch)
    std::string destination;
    std::string expectedDestination;
    std::string expectedRcpHome;
  };
  const os::PlistDictionary base{{"bundleName", PlistValue("Orrery")},
                                 {"frameworkPath", PlistValue("Contents/MacOS")}};
  auto with = [&base](os::PlistDictionary more) {
    os::PlistDictionary all = base;
    for (auto& entry : more) all.push_back(std::move(entry));
    return all;
  };
  const std::vector<Case> cases = {
      {"multi-instance: registry not read, destination kept", Settings::Write,
       with({{"allowMultiInstance", PlistValue(true)}}), "@/Elsewhere/Orrery.app", "@/Applications",
       "@/Applications", "@/Applications/Orrery.app/Contents/MacOS/rcp"},
      {"registry names an existing bundle elsewhere: destination replaced", Settings::Write,
       with({{"allowMultiInstance", PlistValue(false)}}), "@/Elsewhere/Orrery Beta.app",
       "@/Applications", "@/Elsewhere", "@/Elsewhere/Orrery Beta.app/Contents/MacOS/rcp"},
      {"registry names a missing path: fallback to the destination", Settings::Write, base,
       "@/Gone/Orrery.app", "@/Applications", "@/Applications",
       "@/Applications/Orrery.app/Contents/MacOS/rcp"},
      {"fallback drops a trailing separator", Settings::Write, base, std::nullopt,
       "@/Applications/", "@/Applications", "@/Applications/Orrery.app/Contents/MacOS/rcp"},
      {"no frameworkPath: the platform lies in Contents/MacOS",
       Settings::Write,
       {{"bundleName", PlistValue("Orrery")}, {"allowMultiInstance", PlistValue(true)}},
       std::nullopt,
       "@/Applications",
       "@/Applications",
       "@/Applications/Orrery.app/Contents/MacOS/rcp"},
      {"no bundleName: nothing located",
       Settings::Write,
       {{"frameworkPath", PlistValue("Contents/MacOS")}},
       std::nullopt,
       "@/Applications",
       "@/Applications",
       "<none>"},
      {"no settings file",
       Settings::Missing,
       {},
       std::nullopt,
       "@/Applications",
       "@/Applications",
       "<none>"},
      {"settings that are no property list",
       Settings::NotAPlist,
       {},
       std::nullopt,
       "@/Applications",
       "@/Applications",
       "<none>"},
      {"settings whose root is no dictionary",
       Settings::ArrayRoot,
       {},
       std::nullopt,
       "@/Applications",
       "@/Applications",
       "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDirectory dir("target");
    const std::string package = dir / "Hotfix.pkg";
    for (const std::string& d :
         {package, package + "/Contents", package + "/Contents/Resources", dir / "Applications",
          dir / "Elsewhere", dir / "Elsewhere/Orrery Beta.app", dir / "Registry",
          dir / "Registry/Orrery"}) {
      ::mkdir(d.c_str(), 0755);
    }
    const std::string settingsFile = settingsFilePath(package);
    switch (c.settings) {
      case Settings::Write:
        os::writePlistFile(settingsFile, PlistValue(c.entries));
        break;
      case Settings::NotAPlist:
        testing::writeFile(settingsFile, "bundleName = Orrery\n");
        break;
      case Settings::ArrayRoot:
        os::writePlistFile(settingsFile, PlistValue(os::PlistArray{"Orrery"}));
        break;
      case Settings::Missing:
        break;
    }
    if (c.registered) {
      PlistValue registry;
      registry.set("pathToProduct", at(*c.registered, dir.path()));
      os::writePlistFile(dir / "Registry/Orrery/framework.plist", registry);
    }

    const InstallTarget target =
        resolveInstallTarget(package, at(c.destination, dir.path()), dir / "Registry");
    EXPECT_EQ(target.pathToInstallPackage, package);
    EXPECT_EQ(target.pathToInstallDestination, at(c.expectedDestination, dir.path()));
    EXPECT_EQ(rcpHomeIn(target), at(c.expectedRcpHome, dir.path()));
    // The entry uses the settings as read: no defaults, no "${package}" resolved.
    EXPECT_EQ(target.properties.find(KEY_HOTFIX_MANIFEST), nullptr);
  }
}

TEST(VersionOrder, IsOrdinalCodeUnitByCodeUnit) {
  struct Case {
    std::string a, b;
    bool before;
  };
  const std::vector<Case> cases = {
      {"10.0", "2.0", true},   // no numeric reading of digit runs
      {"2.0", "10.0", false},  //
      {"1.10", "1.9", true},   //
      {"6.1.0.3", "6.1.0.3", false},
      {"6.1", "6.1.0", true},  // a prefix orders first
      {"6.1.0", "6.1", false},
      {"B", "a", true},  // case-sensitive: upper case first
      {"a", "B", false},
      // UTF-16 order: a character outside the basic plane (a surrogate pair, 0xD83D...)
      // orders before U+FF21, although its UTF-8 bytes (0xF0...) sort after 0xEF...
      {"\xF0\x9F\x98\x80", "\xEF\xBC\xA1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(versionOrdersBefore(c.a, c.b), c.before) << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace rcpinstall
