// The assembled plug-in bundle: its tables and its one exported factory.
#include <gtest/gtest.h>

#include <memory>

#include "os/bundle.h"
#include "os/installer_pane.h"
#include "resultpane/provision_result.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

const std::string kBundle = testing::libDir() + "/outcomepane.bundle";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(OutcomePaneBundleTest, EveryTableHoldsEveryMessage) {
  // Every key; those that take an error detail end in "*".
  const std::vector<std::string> keys = {"Title",
                                         "provisioning_request_success",
                                         "provisioning_request_partial_results",
                                         "provisioning_request_unexpected_failure",
                                         "upgrade_found_higher_version",
                                         "upgrade_found_higher_version_continue",
                                         "install_location_invalid_error*",
                                         "install_location_invalid_allow_nonascii_error*",
                                         "install_file_not_found_error*",
                                         "install_found_other_instance",
                                         "install_instance_is_running*",
                                         "hotfix_found_higher_version*",
                                         "hotfix_not_found_installed_platform_error*",
                                         "install_not_completed_error*"};
  for (const std::string language : {"en", "de", "fr", "ja"}) {
    const std::optional<os::StringsTable> table = os::parseStringsTable(
        testing::readFile(kBundle + "/Contents/Resources/" + language + ".lproj/Provision.strings")
            .value_or(""));
    ASSERT_TRUE(table) << language;
    EXPECT_EQ(table->size(), keys.size()) << language;
    for (std::string key : keys) {
      const bool takesDetail = key.ends_with('*');
      if (takesDetail) key.pop_back();
      const std::string text = table->contains(key) ? table->at(key) : "";
      EXPECT_FALSE(text.empty()) << language << " " << key;
      // One placeholder where a detail goes, and no other use of "%".
      EXPECT_EQ(count(text, "%"), takesDetail ? 1u : 0u) << language << " " << key;
      EXPECT_EQ(count(text, "%@"), count(text, "%")) << language << " " << key;
    }
  }
}

TEST(OutcomePaneBundleTest, ExportsOnlyItsFactory) {
  const os::Bundle bundle(kBundle);
  std::string error;
  std::optional<os::LoadedCode> code = os::LoadedCode::load(bundle.executablePath(), &error);
  ASSERT_TRUE(code) << error;
  void* symbol = code->symbol("OutcomePaneCreate");
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(code->symbol("_ZNK10rcpinstall15ProvisionResult13getResultCodeEv"), nullptr);

  const auto factory = reinterpret_cast<os::InstallerPaneFactory>(symbol);
  EXPECT_EQ(factory(nullptr), nullptr);
  // The pane finds its own bundle through its code.
  const os::InstallerPaneSetup setup{nullptr, {"de-DE"}};
  std::unique_ptr<os::InstallerPane> pane(factory(&setup));
  ASSERT_TRUE(pane);
  EXPECT_EQ(pane->title(), "Installationsergebnis");
}

}  // namespace
}  // namespace rcpinstall
