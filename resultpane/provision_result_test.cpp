#include "resultpane/provision_result.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "resultpane/test_layout.h"

namespace rcpinstall {
namespace {

using resultpane_testing::Layout;

const std::string kCharacters = "!\"';\\#%|=?/";

TEST(ProvisionResultTest, ResultCodeReadsTheLeadingNumberOfRc) {
  const std::vector<std::pair<std::optional<std::string>, int>> rows = {
      {"rc=2\n", 2},           {"#run\nrc = -3\n", -3},
      {"rc=+2 features\n", 2}, {"rc=99999999999\n", INT_MAX},
      {"rc=abc\n", -1},  // a damaged value is never taken for success
      {"rc=\n", -1},           {"result=0\n", -1},
      {std::nullopt, -1},
  };
  for (const auto& [file, expected] : rows) {
    Layout layout;
    if (file) layout.writeResult(*file);
    EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getResultCode(), expected)
        << file.value_or("(no file)");
  }
}

TEST(ProvisionResultTest, ResultStringFromErrorCodeElseResultCode) {
  struct Row {
    std::optional<os::PlistValue> record;
    std::optional<std::string> result;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {std::nullopt, std::nullopt, "failure"},
      {makeErrorRecord(0), "rc=2", "partial"},
      {os::PlistValue(os::PlistDictionary{{ERROR_CODE, "7"}}), "rc=0", "success"},
      {makeErrorRecord(1, {"a", "b"}), "rc=0", "upgrade a\ncontinue b"},
      // The "%" of the character list is no placeholder.
      {makeErrorRecord(2, {"/Volumes/My#Disk"}), std::nullopt,
       "location /Volumes/My#Disk invalid:\n" + kCharacters},
      {makeErrorRecord(7, {"%@ x"}), "rc=0", "higher in %@ x"},
      {makeErrorRecord(6), "rc=0", " running"},
      {makeErrorRecord(9, {"/p/x"}), "rc=0", "/p/x not written"},
      {makeErrorRecord(-1), "rc=0", "failure"},
      {os::PlistValue(os::PlistDictionary{{ERROR_CODE, os::PlistValue(int64_t{1} << 32 | 7)}}),
       "rc=0", "failure"},
  };
  for (const Row& row : rows) {
    Layout layout;
    if (row.record) layout.sendRecord(*row.record);
    if (row.result) layout.writeResult(*row.result);
    const os::Bundle bundle = layout.bundle();
    EXPECT_EQ(ProvisionResult(&bundle, layout.sources()).getResultString(), row.expected);
  }
  Layout layout;
  layout.writeResult("rc=0");
  EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getResultString(),
            "provisioning_request_success");
}

TEST(ProvisionResultTest, FinalStatusMessageIsTheSeventhFieldOfTheLastLine) {
  const std::vector<std::pair<std::optional<std::string>, std::string>> rows = {
      {"1;2;3;4;5;6;old;8\n1;2;3;4;5;6;Done|-Restart|Now;8\n", "Done\n\nRestart\n\nNow"},
      {"1;2;3;4;5;6;done\r\n1;2;3;4;5;6;half", "done"},  // the last complete line
      {"1;2;3;4;5;6\n", ""},                             // no status field
      {"1;2;3;4;5;6;x", ""},                             // no complete line
      {"1;2;3;4;5;6;caf\xE9\n", ""},                     // not UTF-8
      {std::nullopt, ""},
  };
  for (const auto& [log, expected] : rows) {
    Layout layout;
    if (log) layout.writeLog(*log);
    EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getFinalStatusMessage(), expected)
        << log.value_or("(no log)");
  }
}

TEST(ProvisionResultTest, PathsComeFromTheHandOffAsStoredAndAreFixedAtCreation) {
  Layout layout;
  layout.writeLog("1;2;3;4;5;6;done\n");
  layout.writeResult("rc=0\n");
  EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).provisionLogFile(), layout.log());

  // "~" is expanded for the directory test only, so the files are not found.
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("HOME", layout.root().c_str(), 1);
  layout.writeHandOff("~/data", "~/Orrery.app/Contents/rcp");
  const ProvisionResult tilde(nullptr, layout.sources());
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(tilde.provisionLogFile(), std::nullopt);
  EXPECT_EQ(tilde.provisionRCFile(), std::nullopt);

  layout.writeHandOff(layout.data(), layout.rcpHome());
  std::filesystem::remove(layout.resultFile());
  ProvisionResult early(nullptr, layout.sources());
  layout.writeResult("rc=0\n");
  EXPECT_EQ(early.getResultCode(), -1);
  EXPECT_TRUE(early.removeProvisionRC());
  EXPECT_TRUE(std::filesystem::exists(layout.resultFile())) << "not this reader's to delete";
}

TEST(ProvisionResultTest, RemovesTheResultAndTheLeftoverConfigurationOnly) {
  Layout layout;
  layout.writeResult("rc=0\n");
  const std::string leftover = layout.sources().leftoverConfigurationFile;
  const std::string target = layout.root() + "/target";
  ASSERT_TRUE(testing::writeFile(target, "keep"));
  std::filesystem::create_symlink(target, leftover);

  ProvisionResult result(nullptr, layout.sources());
  EXPECT_TRUE(result.removeProvisionRC());
  EXPECT_TRUE(result.removeConfigurationFile());
  EXPECT_FALSE(std::filesystem::exists(layout.resultFile()));
  EXPECT_FALSE(std::filesystem::is_symlink(leftover));
  EXPECT_TRUE(std::filesystem::exists(target)) << "a link goes, not what it points to";
  EXPECT_TRUE(std::filesystem::exists(layout.sources().configurationFile));
  EXPECT_TRUE(result.removeConfigurationFile());  // nothing there

  // A directory at either name is not deleted, and the answer says so.
  std::filesystem::create_directories(leftover + "/inside");
  std::filesystem::create_directories(layout.resultFile() + "/inside");
  ProvisionResult withDirectories(nullptr, layout.sources());
  EXPECT_FALSE(withDirectories.removeConfigurationFile());
  EXPECT_FALSE(withDirectories.removeProvisionRC());
  EXPECT_TRUE(std::filesystem::exists(leftover + "/inside"));
  EXPECT_TRUE(std::filesystem::exists(layout.resultFile() + "/inside"));
}

}  // namespace
}  // namespace rcpinstall
