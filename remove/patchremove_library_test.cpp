#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "remove/test_instance.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::runProgram;
using testing::ScratchDirectory;
using testing::TestInstance;

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

// The C program linked only against the library through its header.
testing::RunResult runClient(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {testing::binaryDir() + "/tests/patchremove_client"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv);
}

TEST(PatchRemoveLibraryTest, CCallerGetsTheStatusCodes) {
  struct Row {
    const char* what;
    const char* removal;
    bool orreryManifest;
    const char* out;
  };
  const Row rows[] = {
      {"plain hotfix", "plain", false,
       "The provisioning operations have completed successfully.\nstatus 0\n"},
      {"product hotfix with only the plain manifest", "orrery", false, "status 190\n"},
      {"product hotfix through the flag", "flag", true,
       "The provisioning operations have completed successfully.\nstatus 0\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch("remove");
    TestInstance instance(scratch.path());
    instance.setLauncherResult("rc=0\n");
    if (row.orreryManifest) {
      testing::writeFile(instance.deploy("uninstall.orreryhotfix.xml"),
                         TestInstance::REMOVAL_MANIFEST);
    }
    const testing::RunResult run = runClient({row.removal, instance.platformHome()});
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::string out = run.out;
    EXPECT_TRUE(out.ends_with(row.out)) << out;
  }
  const testing::RunResult noPath = runClient({"null"});
  EXPECT_EQ(noPath.out, "status 150\n");
}

}  // namespace
}  // namespace rcpinstall
