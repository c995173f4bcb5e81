// hotfixcheck: the manifest walk the checks rely on, and the command line's usage errors.
#include "hotfixcheck/hotfix_check.h"

#include <gtest/gtest.h>

#include "tests/support/testing.h"

namespace rcpinstall::HotfixCheck {
namespace {

using testing::ScratchDirectory;

TEST(ReadManifest, WalksTheLevelsTheToolsNeedAndKeepsActionsAndLocations) {
  struct Case {
    const char* text;
    bool wellFormed;
    std::optional<std::string> missingLevel;
    size_t features;
  };
  const std::vector<Case> cases = {
      {"<m><domain-object><object-data><install><installfeature id=\"h\" version=\"1\">"
       "<requirements><feature id=\"a\" version=\"1\" url=\"${installer.root}/a.jar\"/>"
       "<feature id=\"b\" version=\"2\" action=\"uninstall\"/></requirements>"
       "</installfeature></install></object-data></domain-object></m>",
       true, std::nullopt, 2},
      {"<m><domain-object><object-data/></domain-object></m>", true, "install", 0},
      {"<m><domain-object><object-data><install/></object-data></domain-object></m>", true,
       "installfeature", 0},
      {"<m><domain-object>", false, std::nullopt, 0},
      {"<a/><b/>", false, std::nullopt, 0},
  };
  ScratchDirectory dir("manifest");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(testing::writeFile(dir / "m.xml", c.text));
    const ManifestContents manifest = readManifest(dir / "m.xml");
    EXPECT_TRUE(manifest.readable);
    EXPECT_EQ(manifest.wellFormed, c.wellFormed);
    EXPECT_EQ(manifest.missingLevel, c.missingLevel);
    const size_t features =
        manifest.installFeatures.empty() ? 0 : manifest.installFeatures[0].requirements.size();
    EXPECT_EQ(features, c.features);
  }
  ASSERT_TRUE(testing::writeFile(dir / "m.xml", cases[0].text));
  const ManifestContents manifest = readManifest(dir / "m.xml");
  const std::vector<Feature>& features = manifest.installFeatures.at(0).requirements;
  EXPECT_TRUE(installs(features[0]));
  EXPECT_EQ(features[0].url, "${installer.root}/a.jar");
  EXPECT_FALSE(installs(features[1]));
  EXPECT_FALSE(readManifest(dir / "none.xml").readable);
}

TEST(HotfixCheckRun, UsageErrorsEndWithStatusTwo) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"hotfixcheck"},
           {"hotfixcheck", "--json"},
           {"hotfixcheck", "inspect", "x"},
           {"hotfixcheck", "lint"},
           {"hotfixcheck", "plan", "package"},
           {"hotfixcheck", "status", "a", "b"},
           {"hotfixcheck", "--frobnicate", "status", "a"},
           {"hotfixcheck", "rehearse", "p", "d", "--ignitor"},
           {"hotfixcheck", "lint", ""},
           {"hotfixcheck", "--version", "lint", "p"},
           {"hotfixcheck", "lint", "-p"},
           {"hotfixcheck", "--inventory", "lint", "p"},
           {"hotfixcheck", "needs-install", "home"},
           {"hotfixcheck", "--json", "--inventory", "status", "a"},
           {"hotfixcheck", "--keep", "plan", "p", "d"},
           {"hotfixcheck", "--ignitor", "i", "--quiet", "status", "a"},
       }) {
    EXPECT_EQ(run(arguments), EXIT_USAGE) << arguments.size();
  }
  // After "--" a word that begins with "-" is a path: lint finds no settings there.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run({"hotfixcheck", "--quiet", "--", "lint", "-p"}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("-p/Contents/Resources/hotfix.plist"),
            std::string::npos);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run({"hotfixcheck", "--version"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "hotfixcheck 1.0.0\n");
}

}  // namespace
}  // namespace rcpinstall::HotfixCheck
