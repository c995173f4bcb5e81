#include "os/user_preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

const char* kTraceDomain = "com.zantec.rcp.install.mac";

class UserPreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(home_ / "Library/Preferences"); }
  std::string preferences(const std::string& file) const {
    return home_ / ("Library/Preferences/" + file);
  }
  ScratchDirectory home_{"home"};
};

TEST_F(UserPreferencesTest, PersistentDomainReadsXmlAndBinary) {
  PlistValue domain(PlistDictionary{{"com.zantec.rcp.install.mac.traceEnable", PlistValue("YES")}});
  ASSERT_TRUE(writePlistFile(preferences(std::string(kTraceDomain) + ".plist"), domain));
  EXPECT_EQ(persistentDomain(kTraceDomain, home_.path()), domain);

  std::filesystem::copy_file(testing::corpusDir() + "/plists/global_defaults.binary.plist",
                             preferences("binary.domain.plist"));
  std::optional<PlistValue> binary = persistentDomain("binary.domain", home_.path());
  ASSERT_TRUE(binary);
  EXPECT_NE(binary->find("AppleLocale"), nullptr);
}

TEST_F(UserPreferencesTest, PersistentDomainRefusals) {
  ASSERT_TRUE(writePlistFile(preferences("array.plist"), PlistValue(PlistArray{})));
  ASSERT_TRUE(testing::writeFile(preferences("broken.plist"), "not a plist"));
  ASSERT_TRUE(writePlistFile(home_ / "Library/outside.plist", PlistValue()));
  for (const char* domain : {"missing", "array", "broken", "", "../outside", "a/b"}) {
    EXPECT_EQ(persistentDomain(domain, home_.path()), std::nullopt) << domain;
  }
}

TEST_F(UserPreferencesTest, StandardPreferenceSearchesUserThenSystemGlobalDomain) {
  const std::string system = home_ / "system.GlobalPreferences.plist";
  ASSERT_TRUE(writePlistFile(system, PlistValue(PlistDictionary{
                                         {"AppleLocale", PlistValue("de_DE")},
                                         {"OnlySystem", PlistValue(1)},
                                     })));
  // No user global domain yet: the system's.
  EXPECT_EQ(standardPreference("AppleLocale", home_.path(), system), PlistValue("de_DE"));

  std::filesystem::copy_file(testing::corpusDir() + "/plists/global_defaults.binary.plist",
                             preferences(".GlobalPreferences.plist"));
  std::optional<PlistValue> locale = standardPreference("AppleLocale", home_.path(), system);
  ASSERT_TRUE(locale);
  ASSERT_NE(locale->asString(), nullptr);
  EXPECT_NE(*locale->asString(), "de_DE");  // the user's own setting comes first
  EXPECT_EQ(standardPreference("OnlySystem", home_.path(), system), PlistValue(1));
  EXPECT_EQ(standardPreference("Nowhere", home_.path(), system), std::nullopt);
  EXPECT_EQ(standardPreference("AppleLocale", home_ / "nohome", home_ / "nofile"), std::nullopt);
}

}  // namespace
}  // namespace rcpinstall::os
