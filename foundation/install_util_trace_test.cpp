#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/install_util.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;

TEST(InstallUtilTraceTest, PreferenceValuesReadAsBooleans) {
  const PlistValue on[] = {PlistValue(true),  PlistValue(-1),       PlistValue(0.5),
                           PlistValue("YES"), PlistValue("true"),   PlistValue("t"),
                           PlistValue("1"),   PlistValue("9 lives")};
  const PlistValue off[] = {PlistValue(false),
                            PlistValue(0),
                            PlistValue("No"),
                            PlistValue("0"),
                            PlistValue("on"),
                            PlistValue(""),
                            PlistValue(os::PlistData{"1"}),
                            PlistValue(os::PlistArray{PlistValue(true)})};
  for (const PlistValue& value : on) EXPECT_TRUE(InstallUtil::readsAsTrue(value));
  for (const PlistValue& value : off) EXPECT_FALSE(InstallUtil::readsAsTrue(value));
}

TEST(InstallUtilTraceTest, UnsupportedCharactersInLocations) {
  for (const char c : std::string_view("!\"';\\#%|=?:")) {
    EXPECT_TRUE(InstallUtil::containUnSupportedCharacters(std::string("/Apps/a") + c + "b")) << c;
  }
  const std::optional<std::string> accepted[] = {
      std::nullopt, "", "/", "/Applications/My Apps/Caf\u00e9 \u00dcbersicht/Orrery.app",
      "/Volumes/\u4e2d\u6587/x-y_z.(1)+[2]{3}~$&@,"};
  for (const std::optional<std::string>& path : accepted) {
    EXPECT_FALSE(InstallUtil::containUnSupportedCharacters(path)) << path.value_or("(none)");
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
