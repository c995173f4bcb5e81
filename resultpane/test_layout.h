// Test layout of the result pane: the outcome sources of one install and a bundle with the
// pane's table, in a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "os/bundle.h"
#include "os/plist_value.h"
#include "resultpane/provision_result.h"
#include "tests/support/testing.h"

namespace rcpinstall::resultpane_testing {

// Texts that show which key (and which details) a message was made of.
inline constexpr const char* kTestTable =
    "\"Title\" = \"Result\"; \"provisioning_request_success\" = \"success\";\n"
    "\"provisioning_request_partial_results\" = \"partial\";\n"
    "\"provisioning_request_unexpected_failure\" = \"failure\";\n"
    "\"upgrade_found_higher_version\" = \"upgrade %@\";\n"
    "\"upgrade_found_higher_version_continue\" = \"continue %@\";\n"
    "\"install_location_invalid_error\" = \"location %@ invalid:\";\n"
    "\"install_location_invalid_allow_nonascii_error\" = \"nonascii:%@\";\n"
    "\"install_file_not_found_error\" = \"file %@ missing\";\n"
    "\"install_found_other_instance\" = \"other\";\n"
    "\"install_instance_is_running\" = \"%@ running\";\n"
    "\"hotfix_found_higher_version\" = \"higher in %@\";\n"
    "\"hotfix_not_found_installed_platform_error\" = \"no platform in %@\";\n"
    "\"install_not_completed_error\" = \"%@ not written\";\n";

class Layout {
 public:
  Layout() {
    std::filesystem::create_directories(rcpHome());
    std::filesystem::create_directories(data() + "/logs");
    const std::string tables = bundlePath() + "/Contents/Resources/en.lproj";
    std::filesystem::create_directories(tables);
    EXPECT_TRUE(testing::writeFile(tables + "/Provision.strings", kTestTable));
    writeHandOff(data(), rcpHome());
  }

  const std::string& root() const { return scratch_.path(); }
  std::string rcpHome() const { return scratch_ / "Orrery.app/Contents/rcp"; }
  std::string resultFile() const { return scratch_ / "Orrery.app/Contents/.provisioning_rc"; }
  std::string data() const { return scratch_ / "data"; }
  std::string log() const { return data() + "/logs/provisioning.log"; }
  std::string bundlePath() const { return scratch_ / "outcomepane.bundle"; }
  os::Bundle bundle() const { return os::Bundle(bundlePath(), {"en"}); }

  ProvisionSources sources() const {
    return ProvisionSources{scratch_ / "handoff.plist", scratch_ / "qel.config",
                            scratch_ / "pasteboards"};
  }

  // The hand-off as the install program leaves it; none leaves the key out.
  void writeHandOff(const std::optional<std::string>& data,
                    const std::optional<std::string>& rcpHome) const {
    os::PlistDictionary entries;
    if (data) entries.emplace_back(P_RCPDATA, *data);
    if (rcpHome) entries.emplace_back(KEY_PATH_TO_RCP_HOME, *rcpHome);
    EXPECT_TRUE(os::writePlistFile(sources().configurationFile, os::PlistValue(entries)));
  }
  void writeResult(const std::string& text) const {
    EXPECT_TRUE(testing::writeFile(resultFile(), text));
  }
  void writeLog(const std::string& text) const { EXPECT_TRUE(testing::writeFile(log(), text)); }

  void sendRecord(const os::PlistValue& record) const {
    InstallUtil::initInternalPasteboard(true, sources().pasteboardDirectory);
    InstallUtil::sendErrorMessage(record, sources().pasteboardDirectory);
  }

 private:
  testing::ScratchDirectory scratch_{"resultpane"};
};

}  // namespace rcpinstall::resultpane_testing
