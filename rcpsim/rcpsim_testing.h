// Test helpers of the rcpsim tests: sample layouts in scratch directories and launcher runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/path.h"
#include "rcpsim/ignitor.h"
#include "rcpsim/sample_layout.h"
#include "tests/support/testing.h"

namespace rcpinstall::rcpsim_testing {

inline std::vector<std::string> installArguments(const std::string& site,
                                                 const std::string& locale = "en_US") {
  return {"-ignitorWait",
          "-provManifest",
          "-noSplash",
          "-provisioningOperation",
          "update",
          "-nl",
          locale,
          "-vmargs",
          "-Dfile.encoding=UTF-8",
          "-DprovisioningOperation=update",
          "-DprovUpdateSiteListOverride=file:" + site,
          "-Xms32m",
          "-Xmx256m"};
}

inline std::vector<std::string> removalArguments(const std::string& locale = "en_US") {
  return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
          "-nl",          locale,          "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
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
  const rcpsim::ProductLayout& product() const { return product_; }
  const rcpsim::HotfixLayout& hotfix() const { return hotfix_; }
  std::string rcphome() const { return product_.rcphome; }
  std::string rcp(std::string_view relative) const {
    return os::appendComponent(product_.rcphome, relative);
  }
  std::string resultFile() const {
    return os::appendComponent(product_.platformHome, ".provisioning_rc");
  }
  std::string logFile() const { return product_.platformHome + "/workspace/logs/provisioning.log"; }
  // The site as the install workflow names it: through the package, ".." unresolved.
  std::string updateSite() const { return hotfix_.package + "/../../updates/platform"; }
  std::string scratch() const { return dir_.path(); }

  testing::RunResult runIgnitor(const std::vector<std::string>& arguments,
                                const testing::EnvOverrides& env = {}) const {
    std::vector<std::string> argv{rcp("ignitor")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::runProgram(argv, env, std::nullopt, std::nullopt, 60);
  }

 private:
  testing::ScratchDirectory dir_{"rcpsim"};
  rcpsim::ProductLayout product_;
  rcpsim::HotfixLayout hotfix_;
};

// The last line of a log that ends in a line feed, split at ";".
inline std::vector<std::string> lastLogFields(const std::string& log) {
  std::vector<std::string> fields;
  if (log.empty() || log.back() != '\n') return fields;
  const size_t start = log.rfind('\n', log.size() - 2);
  const std::string line =
      log.substr(start == std::string::npos ? 0 : start + 1,
                 log.size() - 1 - (start == std::string::npos ? 0 : start + 1));
  size_t from = 0;
  for (;;) {
    const size_t semicolon = line.find(';', from);
    fields.push_back(line.substr(from, semicolon - from));
    if (semicolon == std::string::npos) break;
    from = semicolon + 1;
  }
  return fields;
}

}  // namespace rcpinstall::rcpsim_testing
