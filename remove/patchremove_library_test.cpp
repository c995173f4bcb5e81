#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::runProgram;

TEST(PatchRemoveLibraryTest, ExportsExactlyTheThreeFunctions) {
  const std::string library = testing::libDir() + "/libpatchremove.so";
  const testing::RunResult nm = runProgram({"nm", "-D", "--defined-only", library});
  ASSERT_TRUE(nm.started);
  ASSERT_EQ(nm.exitStatus, 0) << nm.err;
  std::vector<std::string> names;
  std::istringstream lines(nm.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    EXPECT_EQ(type, "T") << line;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"RCPUninstallHotfix", "RCPUninstallOrreryHotfix",
                                             "RCP_UninstallHotfix"}))
      << nm.out;
}

}  // namespace
}  // namespace rcpinstall
