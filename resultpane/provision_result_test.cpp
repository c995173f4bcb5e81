#include "resultpane/provision_result.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "resultpane/test_layout.h"

namespace rcpinstall {
namespace {

using resultpane_testing::Layout;

const std::string kCharacters = "!\"';\\#%|=?/";

TEST(ProvisionResultTest, ResultCodeReadsTheLeadingNumberOfRc) {
  struct Row {
    std::optional<std::string> file;
    int expected;
  };
  const std::vector<Row> rows = {
      {"rc=0\n", 0},
      {"rc=2\n", 2},
      {"rc=1\n", 1},
      {"#run\nrc = -3\n", -3},
      {"rc=+2\n", 2},
      {"rc=  2 features missing\n", 2},
      {"rc=2abc\n", 2},
      {"rc=99999999999\n", INT_MAX},
      {"rc=-99999999999\n", INT_MIN},
      {"rc=abc\n", -1},  // a damaged value is no success
      {"rc=\n", -1},
      {"rc=-\n", -1},
      {"result=0\n", -1},
      {"", -1},
      {std::nullopt, -1},
  };
  for (const Row& row : rows) {
    Layout layout;
    layout.writeHandOff();
    if (row.file) layout.writeResult(*row.file);
    EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getResultCode(), row.expected)
        << row.file.value_or("(no file)");
  }
}

TEST(ProvisionResultTest, ResultStringFromErrorCodeElseResultCode) {
  struct Row {
    const char* name;
    std::optional<os::PlistValue> record;
    std::optional<std::string> result;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"nothing at all", std::nullopt, std::nullopt, "failure"},
      {"reset record, success", makeErrorRecord(0), "rc=0", "success"},
      {"reset record, partial", makeErrorRecord(0), "rc=2", "partial"},
      {"reset record, failure", makeErrorRecord(0), "rc=1", "failure"},
      {"no record, success", std::nullopt, "rc=0", "success"},
      {"no record, no result", std::nullopt, "other=1", "failure"},
      {"record without a code", os::PlistValue(os::PlistDictionary{{"x", 1}}), "rc=0", "success"},
      {"code that is text", os::PlistValue(os::PlistDictionary{{ERROR_CODE, "7"}}), "rc=0",
       "success"},
      {"upgrade", makeErrorRecord(1, {"a", "b"}), "rc=0", "upgrade a\ncontinue b"},
      {"invalid location", makeErrorRecord(2, {"/Volumes/My#Disk"}), std::nullopt,
       "location /Volumes/My#Disk invalid:\n" + kCharacters},
      {"unsupported characters", makeErrorRecord(3), "rc=0", "nonascii:\n" + kCharacters},
      {"manifest missing", makeErrorRecord(4, {"install.hotfix.xml"}), "rc=0",
       "file install.hotfix.xml missing"},
      {"other instance", makeErrorRecord(5), "rc=0", "other"},
      {"running", makeErrorRecord(6, {"Orrery"}), "rc=0", "Orrery running"},
      {"higher hotfix", makeErrorRecord(7, {"/Applications/Orrery.app"}), "rc=2",
       "higher in /Applications/Orrery.app"},
      {"higher hotfix, detail with a placeholder", makeErrorRecord(7, {"%@ x"}), "rc=0",
       "higher in %@ x"},
      {"no platform, extra detail ignored", makeErrorRecord(8, {"/Applications", "Orrery.app"}),
       "rc=0", "no platform in /Applications"},
      {"no platform, details missing", makeErrorRecord(8), "rc=0", "no platform in "},
      {"code 9", makeErrorRecord(9, {"x"}), "rc=0", "failure"},
      {"negative code", makeErrorRecord(-1), "rc=0", "failure"},
      {"code beyond 32 bits",
       os::PlistValue(os::PlistDictionary{{ERROR_CODE, os::PlistValue(int64_t{1} << 32 | 7)}}),
       "rc=0", "failure"},
      {"code as a real number", os::PlistValue(os::PlistDictionary{{ERROR_CODE, 6.0}}), "rc=0",
       " running"},
  };
  for (const Row& row : rows) {
    Layout layout;
    layout.writeHandOff();
    if (row.record) layout.sendRecord(*row.record);
    if (row.result) layout.writeResult(*row.result);
    const os::Bundle bundle = layout.bundle();
    EXPECT_EQ(ProvisionResult(&bundle, layout.sources()).getResultString(), row.expected)
        << row.name;
  }
}

TEST(ProvisionResultTest, MissingTextsShowTheirKeys) {
  Layout layout;
  layout.writeHandOff();
  layout.writeResult("rc=0\n");
  EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getResultString(),
            "provisioning_request_success");
  layout.writeTable("en", "\"Title\" = \"Result\";");
  const os::Bundle bundle = layout.bundle();
  layout.sendError(2, {"/x"});
  EXPECT_EQ(ProvisionResult(&bundle, layout.sources()).getResultString(),
            "install_location_invalid_error\n" + kCharacters);
}

TEST(ProvisionResultTest, FinalStatusMessageIsTheSeventhFieldOfTheLastLine) {
  struct Row {
    const char* name;
    std::optional<std::string> log;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"markers", "1;2;3;4;5;6;Done|-Restart|Now;8\n", "Done\n\nRestart\n\nNow"},
      {"last line wins", "1;2;3;4;5;6;old;8\n1;2;3;4;5;6;new\n", "new"},
      {"exactly seven fields", "a;b;c;d;e;f;Installed 3 features\n", "Installed 3 features"},
      {"empty status field", "a;b;c;d;e;f;;h\n", ""},
      {"no line feed at the end: the last complete line", "1;2;3;4;5;6;done\n1;2;3;4;5;6;half",
       "done"},
      {"carriage return", "1;2;3;4;5;6;done\r\n", "done"},
      {"utf-8 text", "1;2;3;4;5;6;Fertig|Neu starten\n", "Fertig\n\nNeu starten"},
      {"six fields", "1;2;3;4;5;6\n", ""},
      {"empty last line", "1;2;3;4;5;6;x\n\n", ""},
      {"no complete line", "1;2;3;4;5;6;x", ""},
      {"empty log", "", ""},
      {"not utf-8", "1;2;3;4;5;6;caf\xE9\n", ""},
      {"no log", std::nullopt, ""},
  };
  for (const Row& row : rows) {
    Layout layout;
    if (row.log) layout.writeLog(*row.log);
    layout.writeHandOff();
    ProvisionResult result(nullptr, layout.sources());
    EXPECT_EQ(result.getFinalStatusMessage(), row.expected) << row.name;
  }
}

TEST(ProvisionResultTest, PathsComeFromTheHandOffAsStored) {
  Layout layout;
  layout.writeLog("1;2;3;4;5;6;done\n");
  layout.writeResult("rc=0\n");

  layout.writeHandOff();
  {
    ProvisionResult result(nullptr, layout.sources());
    EXPECT_EQ(result.provisionLogFile(), layout.log());
    EXPECT_EQ(result.provisionRCFile(), layout.resultFile());
  }

  // "~" is expanded for the directory test only: the files are then not found.
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome != nullptr ? savedHome : "";
  ::setenv("HOME", layout.root().c_str(), 1);
  layout.writeHandOff("~/data", "~/Orrery.app/Contents/rcp");
  ProvisionResult tilde(nullptr, layout.sources());
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(tilde.provisionLogFile(), std::nullopt);
  EXPECT_EQ(tilde.provisionRCFile(), std::nullopt);
  EXPECT_EQ(tilde.getFinalStatusMessage(), "");
  EXPECT_EQ(tilde.getResultCode(), -1);

  struct Row {
    const char* name;
    std::optional<std::string> data;
    std::optional<std::string> rcpHome;
  };
  const std::vector<Row> rows = {
      {"no keys", std::nullopt, std::nullopt},
      {"unresolved variable", "${env.HOME}/data", "${env.HOME}/rcp"},
      {"missing directories", layout.root() + "/nodata", layout.root() + "/norcp"},
      {"files instead of directories", layout.log(), layout.resultFile()},
      {"empty values", "", ""},
  };
  for (const Row& row : rows) {
    layout.writeHandOff(row.data, row.rcpHome);
    ProvisionResult result(nullptr, layout.sources());
    EXPECT_EQ(result.provisionLogFile(), std::nullopt) << row.name;
    EXPECT_EQ(result.provisionRCFile(), std::nullopt) << row.name;
  }

  // No hand-off at all, or one that is not a property list.
  std::filesystem::remove(layout.sources().configurationFile);
  EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).provisionRCFile(), std::nullopt);
  ASSERT_TRUE(testing::writeFile(layout.sources().configurationFile, "garbage"));
  EXPECT_EQ(ProvisionResult(nullptr, layout.sources()).getResultCode(), -1);
}

TEST(ProvisionResultTest, PathsAreFixedAtCreation) {
  Layout layout;
  layout.writeHandOff();
  ProvisionResult early(nullptr, layout.sources());
  layout.writeResult("rc=0\n");
  layout.writeLog("1;2;3;4;5;6;done\n");
  EXPECT_EQ(early.getResultCode(), -1);
  EXPECT_EQ(early.getFinalStatusMessage(), "");
  EXPECT_TRUE(early.removeProvisionRC());
  EXPECT_TRUE(std::filesystem::exists(layout.resultFile()));  // not this reader's to delete

  ProvisionResult late(nullptr, layout.sources());
  std::filesystem::remove(layout.resultFile());
  std::filesystem::remove(layout.log());
  EXPECT_EQ(late.getResultCode(), -1);
  EXPECT_EQ(late.getFinalStatusMessage(), "");
  EXPECT_TRUE(late.removeProvisionRC());  // nothing is left there
}

TEST(ProvisionResultTest, RemovesTheResultAndTheLeftoverConfiguration) {
  Layout layout;
  layout.writeHandOff();
  layout.writeResult("rc=0\n");
  const std::string leftover = layout.sources().leftoverConfigurationFile;
  ASSERT_TRUE(testing::writeFile(leftover, "x"));

  ProvisionResult result(nullptr, layout.sources());
  EXPECT_TRUE(result.removeProvisionRC());
  EXPECT_TRUE(result.removeConfigurationFile());
  EXPECT_FALSE(std::filesystem::exists(layout.resultFile()));
  EXPECT_FALSE(std::filesystem::exists(leftover));
  EXPECT_TRUE(std::filesystem::exists(layout.sources().configurationFile));  // the hand-off stays
  EXPECT_TRUE(result.removeConfigurationFile());                             // nothing there

  // A link at the leftover name goes, its target stays.
  const std::string target = layout.root() + "/target";
  ASSERT_TRUE(testing::writeFile(target, "keep"));
  std::filesystem::create_symlink(target, leftover);
  EXPECT_TRUE(result.removeConfigurationFile());
  EXPECT_FALSE(std::filesystem::is_symlink(leftover));
  EXPECT_TRUE(std::filesystem::exists(target));
  std::filesystem::create_symlink(layout.root() + "/nowhere", leftover);
  EXPECT_TRUE(result.removeConfigurationFile());
  EXPECT_FALSE(std::filesystem::is_symlink(leftover));

  // A directory is no result file and no configuration file: it stays, and the answer says so.
  std::filesystem::create_directories(leftover + "/inside");
  EXPECT_FALSE(result.removeConfigurationFile());
  EXPECT_TRUE(std::filesystem::exists(leftover + "/inside"));
  std::filesystem::create_directories(layout.resultFile() + "/inside");
  ProvisionResult withDirectory(nullptr, layout.sources());
  EXPECT_FALSE(withDirectory.removeProvisionRC());
  EXPECT_TRUE(std::filesystem::exists(layout.resultFile() + "/inside"));
}

}  // namespace
}  // namespace rcpinstall
