#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/install_util.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;

TEST(InstallUtilTraceTest, PreferenceValuesReadAsBooleans) {
  struct Row {
    PlistValue value;
    bool expected;
  };
  const Row rows[] = {
      {PlistValue(true), true},
      {PlistValue(false), false},
      {PlistValue(1), true},
      {PlistValue(-1), true},
      {PlistValue(0), false},
      {PlistValue(0.5), true},
      {PlistValue(0.0), false},
      {PlistValue("YES"), true},
      {PlistValue("yes"), true},
      {PlistValue("True"), true},
      {PlistValue("t"), true},
      {PlistValue("1"), true},
      {PlistValue("9 lives"), true},
      {PlistValue("No"), false},
      {PlistValue("NO"), false},
      {PlistValue("0"), false},
      {PlistValue("false"), false},
      {PlistValue("on"), false},
      {PlistValue(""), false},
      {PlistValue(os::PlistDate{1.0}), false},
      {PlistValue(os::PlistData{"1"}), false},
      {PlistValue(os::PlistArray{PlistValue(true)}), false},
      {PlistValue(os::PlistDictionary{{"k", PlistValue(true)}}), false},
  };
  int row = 0;
  for (const Row& r : rows) {
    EXPECT_EQ(InstallUtil::readsAsTrue(r.value), r.expected) << "row " << row;
    ++row;
  }
}

TEST(InstallUtilTraceTest, UnsupportedCharactersInLocations) {
  struct Row {
    std::optional<std::string> path;
    bool expected;
  };
  const Row rows[] = {
      {std::nullopt, false},
      {"", false},
      {"/Applications/My Apps/Caf\u00e9 \u00dcbersicht/Orrery.app", false},
      {"/Volumes/Data/\u4e2d\u6587/x-y_z.(1)+[2]{3}~$&@,", false},
      {"/", false},
      {"/Applications/v#2/Orrery.app", true},
      {"/Users/a/file:name.pkg", true},
      {":", true},
      {"/a!b", true},
      {"/a\"b", true},
      {"/a'b", true},
      {"/a;b", true},
      {"/a\\b", true},
      {"/a%b", true},
      {"/a|b", true},
      {"/a=b", true},
      {"/a?b", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(InstallUtil::containUnSupportedCharacters(row.path), row.expected)
        << row.path.value_or("(none)");
  }
}

TEST(InstallUtilTraceTest, ErrorRecordHoldsCodeAndDetails) {
  const PlistValue record =
      makeErrorRecord(kHotfixFoundHigherVersion, {"/Applications/Orrery.app"});
  ASSERT_NE(record.asDictionary(), nullptr);
  ASSERT_EQ(record.asDictionary()->size(), 2u);
  EXPECT_EQ(record.asDictionary()->at(0).first, ERROR_CODE);
  EXPECT_EQ(*record.find(ERROR_CODE)->asInteger(), 7);
  EXPECT_EQ(*record.find(ERROR_DETAILS)->asArray(),
            os::PlistArray{PlistValue("/Applications/Orrery.app")});
  EXPECT_TRUE(makeErrorRecord(kNoError).find(ERROR_DETAILS)->asArray()->empty());
}

TEST(InstallUtilTraceTest, ErrorChannelKeepsTheLastRecord) {
  testing::ScratchDirectory scratch("errchannel");
  const std::string store = scratch / "pasteboards";

  EXPECT_EQ(InstallUtil::getErrorMessage(store), std::nullopt);  // nothing there yet

  InstallUtil::initInternalPasteboard(false, store);
  EXPECT_EQ(InstallUtil::getErrorMessage(store), std::nullopt);

  InstallUtil::initInternalPasteboard(true, store);
  EXPECT_EQ(InstallUtil::getErrorMessage(store), makeErrorRecord(kNoError));

  InstallUtil::sendErrorMessage(makeErrorRecord(kInstanceIsRunning, {"Orrery"}), store);
  InstallUtil::sendErrorMessage(makeErrorRecord(-42, {"a", "b"}), store);
  EXPECT_EQ(InstallUtil::getErrorMessage(store), makeErrorRecord(-42, {"a", "b"}));

  InstallUtil::sendErrorMessage(std::nullopt, store);  // ignored
  EXPECT_EQ(InstallUtil::getErrorMessage(store), makeErrorRecord(-42, {"a", "b"}));

  // Declaring the type again discards the record.
  InstallUtil::initInternalPasteboard(false, store);
  EXPECT_EQ(InstallUtil::getErrorMessage(store), std::nullopt);
}

TEST(InstallUtilTraceTest, ErrorRecordOutlivesTheWritingProcess) {
  testing::ScratchDirectory scratch("errchannel");
  const std::string store = scratch / "pasteboards";
  const PlistValue record = makeErrorRecord(kInstalledPlatformNotFound, {"/Applications", "X.app"});

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstallUtil::initInternalPasteboard(true, store);
    InstallUtil::sendErrorMessage(record, store);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(InstallUtil::getErrorMessage(store), record);
}

}  // namespace
}  // namespace rcpinstall
