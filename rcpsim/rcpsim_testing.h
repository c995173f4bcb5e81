// Test helpers of the rcpsim tests: a sample product and package, and launcher runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rcpsim/ignitor.h"
#include "rcpsim/sample_layout.h"
#include "tests/support/testing.h"

namespace rcpinstall::rcpsim_testing {

inline std::vector<std::string> installArguments(const std::string& site) {
  return {"-ignitorWait",
          "-provManifest",
          "-noSplash",
          "-provisioningOperation",
          "update",
          "-nl",
          "en_US",
          "-vmargs",
          "-Dfile.encoding=UTF-8",
          "-DprovisioningOperation=update",
          "-DprovUpdateSiteListOverride=file:" + site,
          "-Xms32m",
          "-Xmx256m"};
}
inline std::vector<std::string> removalArguments() {
  return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
          "-nl",          "en_US",         "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
          "-Xmx256m"};
}
inline std::vector<std::string> cleanupArguments() {
  return {"-provManifest", "-ignitorWait",           "-noSplash", "-product",
          "NULL",          "-provisioningOperation", "cleanup"};
}

// A sample product and hotfix package side by side in one scratch directory.
class SampleInstall {
 public:
  explicit SampleInstall(rcpsim::ProductOptions product = {}, rcpsim::HotfixOptions hotfix = {}) {
    std::string error;
    product.ignitor = testing::binDir() + "/ignitor";
    EXPECT_TRUE(rcpsim::layOutProduct(dir_ / "product", product, product_, error)) << error;
    EXPECT_TRUE(rcpsim::layOutHotfix(dir_ / "hotfix", hotfix, hotfix_, error)) << error;
  }
  const rcpsim::HotfixLayout& hotfix() const { return hotfix_; }
  const std::string& rcphome() const { return product_.rcphome; }
  std::string rcp(const std::string& relative) const { return product_.rcphome + "/" + relative; }
  std::string resultFile() const { return product_.platformHome + "/.provisioning_rc"; }
  std::string logFile() const { return product_.platformHome + "/workspace/logs/provisioning.log"; }
  // The update site as the install workflow names it: through the package, ".." unresolved.
  std::string updateSite() const { return hotfix_.package + "/../../updates/platform"; }

  testing::RunResult runIgnitor(std::vector<std::string> arguments,
                                const testing::EnvOverrides& env = {}) const {
    arguments.insert(arguments.begin(), rcp("ignitor"));
    return testing::runProgram(arguments, env, std::nullopt, std::nullopt, 60);
  }

 private:
  testing::ScratchDirectory dir_{"rcpsim"};
  rcpsim::ProductLayout product_;
  rcpsim::HotfixLayout hotfix_;
};

// The ";"-separated fields of the last line of a log that ends in a line feed.
inline std::vector<std::string> lastLogFields(const std::string& log) {
  if (log.empty() || log.back() != '\n') return {};
  const size_t start = log.rfind('\n', log.size() - 2);
  const std::string line = log.substr(start == std::string::npos ? 0 : start + 1);
  std::vector<std::string> fields(1);
  for (char c : line.substr(0, line.size() - 1)) {
    if (c == ';') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace rcpinstall::rcpsim_testing
