// The assembled plug-in bundle: its tables, its one exported factory and what the pane it
// makes finds in its own bundle.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "os/bundle.h"
#include "os/installer_pane.h"
#include "resultpane/provision_result.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

const std::string kBundle = testing::libDir() + "/outcomepane.bundle";
const std::vector<std::string> kLanguages = {"en", "de", "fr", "ja"};

// Keys of the table, and whether the message takes error details.
const std::vector<std::pair<std::string, bool>> kKeys = {
    {"Title", false},
    {"provisioning_request_success", false},
    {"provisioning_request_partial_results", false},
    {"provisioning_request_unexpected_failure", false},
    {"upgrade_found_higher_version", false},
    {"upgrade_found_higher_version_continue", false},
    {"install_location_invalid_error", true},
    {"install_location_invalid_allow_nonascii_error", true},
    {"install_file_not_found_error", true},
    {"install_found_other_instance", false},
    {"install_instance_is_running", true},
    {"hotfix_found_higher_version", true},
    {"hotfix_not_found_installed_platform_error", true},
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(OutcomePaneBundleTest, EveryTableHoldsEveryMessage) {
  for (const std::string& language : kLanguages) {
    const std::string file =
        kBundle + "/Contents/Resources/" + language + ".lproj/" + TABLE + ".strings";
    const std::optional<std::string> bytes = testing::readFile(file);
    ASSERT_TRUE(bytes) << file;
    const std::optional<os::StringsTable> table = os::parseStringsTable(*bytes);
    ASSERT_TRUE(table) << file;
    EXPECT_EQ(table->size(), kKeys.size()) << language;
    for (const auto& [key, takesDetails] : kKeys) {
      ASSERT_TRUE(table->contains(key)) << language << " " << key;
      const std::string& text = table->at(key);
      EXPECT_FALSE(text.empty()) << language << " " << key;
      // One placeholder where a detail goes, and no other use of "%".
      EXPECT_EQ(count(text, "%@"), takesDetails ? 1u : 0u) << language << " " << key;
      EXPECT_EQ(count(text, "%"), count(text, "%@")) << language << " " << key;
    }
  }
}

TEST(OutcomePaneBundleTest, ExportsOnlyItsFactory) {
  const os::Bundle bundle(kBundle);
  const std::optional<os::PlistValue> info = bundle.infoDictionary();
  ASSERT_TRUE(info);
  const os::PlistValue* factoryName = info->find(os::PANE_FACTORY_KEY);
  ASSERT_TRUE(factoryName != nullptr && factoryName->asString() != nullptr);

  std::string error;
  std::optional<os::LoadedCode> code = os::LoadedCode::load(bundle.executablePath(), &error);
  ASSERT_TRUE(code) << error;
  void* symbol = code->symbol(*factoryName->asString());
  ASSERT_NE(symbol, nullptr);
  for (const char* hidden : {"_ZNK10rcpinstall15ProvisionResult13getResultCodeEv",
                             "_ZN10rcpinstall10StringUtil10bindStringERKSt8optionalINSt7__"
                             "cxx1112basic_stringIcSt11char_traitsIcESaIcEEEERKS1_ISt6vectorIS7_"
                             "SaIS7_EEE"}) {
    EXPECT_EQ(code->symbol(hidden), nullptr) << hidden;
  }

  const auto factory = reinterpret_cast<os::InstallerPaneFactory>(symbol);
  EXPECT_EQ(factory(nullptr), nullptr);
  // The pane finds its own bundle through its code, in the localization asked for.
  const std::vector<std::pair<std::string, std::string>> titles = {
      {"de-DE", "Installationsergebnis"},
      {"ja",
       "\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xB9\xE3\x83\x88\xE3\x83\xBC\xE3\x83\xAB\xE3\x81\xAE"
       "\xE7\xB5\x90\xE6\x9E\x9C"},
      {"it", "Installation Result"},
  };
  for (const auto& [language, title] : titles) {
    const os::InstallerPaneSetup setup{nullptr, {language}};
    std::unique_ptr<os::InstallerPane> pane(factory(&setup));
    ASSERT_TRUE(pane);
    EXPECT_EQ(pane->title(), title) << language;
    EXPECT_TRUE(pane->shouldExitPane(os::Direction::Forward));
  }
}

}  // namespace
}  // namespace rcpinstall
