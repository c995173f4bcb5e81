#include <gtest/gtest.h>

#include "foundation/install_util.h"

namespace rcpinstall {
namespace {

using os::PlistValue;

TEST(InstallUtilPathsTest, BundlePathIsCutAtTheLastMarker) {
  struct Row {
    std::optional<std::string> path, expected;
  };
  const Row rows[] = {
      {"/Applications/Orrery.app/Contents/MacOS/rcp", "/Applications/Orrery.app"},
      {"/Applications/Orrery.app/Contents/MacOS", "/Applications/Orrery.app"},
      {"/A.app/Contents/MacOS/x/B.app/Contents/MacOS/rcp", "/A.app/Contents/MacOS/x/B.app"},
      {"/Applications/Orrery.app", std::nullopt},
      {"/Applications/Orrery.app/Contents/Resources", std::nullopt},
      {"/Applications/Orrery.APP/Contents/MacOS/rcp", std::nullopt},
      {"/Applications/Orrery.app/contents/macos/rcp", std::nullopt},
      {".app/Contents/MacOS", ".app"},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(InstallUtil::getBundlePath(row.path), row.expected) << row.path.value_or("(none)");
  }
}

TEST(InstallUtilPathsTest, PackageAndInstallerRoot) {
  struct Row {
    std::string path, mpkg, root;
  };
  const Row rows[] = {
      {"/Volumes/HF/Orrery.mpkg/Contents/Packages/Orrery.pkg", "/Volumes/HF/Orrery.mpkg",
       "/Volumes/HF"},
      {"/Volumes/HF/Orrery.mpkg/Contents/Packages/Orrery.pkg/", "/Volumes/HF/Orrery.mpkg",
       "/Volumes/HF"},
      {"/x.mpkg/Contents/Packages/y.pkg", "/x.mpkg", "/"},
      {"/a/b", "/", "/"},
      {"a/b/c", "", ""},
      {"/a/../b/c/d", "/a/..", "/a"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(InstallUtil::getPathToMPKGThrough(row.path), row.mpkg) << row.path;
    EXPECT_EQ(InstallUtil::getInstallerRootThrough(row.path), row.root) << row.path;
  }
}

TEST(InstallUtilPathsTest, CaselessPrefix) {
  struct Row {
    std::optional<std::string> text;
    std::string prefix;
    bool expected;
  };
  const Row rows[] = {
      {".KeyStore.jks", ".keystore", true},
      {".keystore", ".KEYSTORE", true},
      {"a.keystore", ".keystore", false},
      {".keystor", ".keystore", false},
      {".keystore", "", false},
      {std::nullopt, ".keystore", false},
      {"\u00c9T\u00c9.txt", "\u00e9t\u00e9", true},
      {"\u0416\u0443\u043a", "\u0436\u0423", true},
      {"\u00e9t\u00e9", "ete", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(InstallUtil::hasPrefixCaseInsensitive(row.text, row.prefix), row.expected)
        << row.text.value_or("(none)") << " / " << row.prefix;
  }
}

TEST(InstallUtilPathsTest, PackageVariableIsReplacedInTextValuesOnly) {
  const os::PlistDictionary nested = {{"inner", PlistValue("${package}/nested")}};
  os::PlistDictionary settings = {
      {"manifest", PlistValue("${package}/x.xml")},
      {"twice", PlistValue("${package}:${package}")},
      {"plain", PlistValue("no variable")},
      {"flag", PlistValue(true)},
      {"count", PlistValue(3)},
      {"list", PlistValue(os::PlistArray{PlistValue("${package}")})},
      {"table", PlistValue(nested)},
  };
  os::PlistDictionary expected = settings;
  expected[0].second = PlistValue("/Volumes/HF/p.pkg/x.xml");
  expected[1].second = PlistValue("/Volumes/HF/p.pkg:/Volumes/HF/p.pkg");

  InstallUtil::replacePackageVariableWith("/Volumes/HF/p.pkg", settings);
  EXPECT_EQ(settings, expected);

  os::PlistDictionary unchanged = expected;
  InstallUtil::replacePackageVariableWith(std::nullopt, unchanged);
  EXPECT_EQ(unchanged, expected);
}

}  // namespace
}  // namespace rcpinstall
