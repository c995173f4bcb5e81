#include "os/installer_host/installer_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "os/bundle.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall::os::installer_host {
namespace {

using testing::ScratchDirectory;

TEST(InstallerHostTextTest, DisplayWidthAndPrintable) {
  struct Row {
    std::string text;
    int width;
  };
  const std::vector<Row> widths = {
      {"", 0},
      {"Continue", 8},
      {"R\xC3\xA9sultat", 8},           // é
      {"e\xCC\x81", 1},                 // e + combining acute
      {"\xE7\xB5\x90\xE6\x9E\x9C", 4},  // two ideographs
      {"\xEF\xBC\x81", 2},              // fullwidth exclamation mark
      {"\xFF", 1},                      // not UTF-8: one column
  };
  for (const Row& row : widths) EXPECT_EQ(displayWidth(row.text), row.width) << row.text;

  EXPECT_EQ(printable("a\tb\nc"), "a b\nc");
  EXPECT_EQ(printable("red \x1B[31m text\r\x07"),
            "red \xEF\xBF\xBD[31m text\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(printable("\xC2\x9B"
                      "2J"),
            "\xEF\xBF\xBD"
            "2J");  // the 8-bit control introducer
  EXPECT_EQ(printable("caf\xE9!"), "caf\xEF\xBF\xBD!");
}

TEST(InstallerHostTextTest, WrapsWordsWideCharactersAndParagraphs) {
  struct Row {
    const char* name;
    std::string text;
    int width;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"fits", "one two", 10, {"one two"}},
      {"breaks at spaces", "one two three four", 9, {"one two", "three", "four"}},
      {"spaces at a break are dropped", "one    two", 5, {"one", "two"}},
      {"indentation stays", "  one two", 7, {"  one", "two"}},
      {"long word is cut", "abcdefghij kl", 4, {"abcd", "efgh", "ij", "kl"}},
      {"paragraphs and empty lines", "a\n\nb c", 3, {"a", "", "b c"}},
      {"trailing line feed", "a\n", 3, {"a", ""}},
      {"empty text", "", 3, {""}},
      {"wide characters break anywhere",
       "\xE8\xA3\xBD\xE5\x93\x81\xE3\x81\x8C\xE5\xAE\x9F",
       5,
       {"\xE8\xA3\xBD\xE5\x93\x81", "\xE3\x81\x8C\xE5\xAE\x9F"}},
      {"closing punctuation stays with its character",
       "\xE8\xA3\xBD\xE5\x93\x81\xE3\x80\x82",
       4,
       {"\xE8\xA3\xBD", "\xE5\x93\x81\xE3\x80\x82"}},
      {"wide character wider than the line", "\xE8\xA3\xBD", 1, {"\xE8\xA3\xBD"}},
      {"mixed", "ASCII \xE4\xBB\xA5\xE5\xA4\x96", 7, {"ASCII", "\xE4\xBB\xA5\xE5\xA4\x96"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(wrapText(row.text, row.width), row.lines) << row.name;
    for (const std::string& line : wrapText(row.text, row.width)) {
      EXPECT_LE(displayWidth(line), std::max(row.width, 2)) << row.name;
    }
  }
}

TEST(InstallerHostTextTest, FramedPaneLinesAreAllAsWideAsTheFrame) {
  const std::string box = framedPane(
      "Installationsergebnis",
      "Der Hotfix wurde installiert.\n\n\xE8\xA3\xBD\xE5\x93\x81\xE3\x81\x8C\xE5\xAE\x9F", 27);
  std::istringstream lines(box);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 8u) << box;
  for (const std::string& line : all) EXPECT_EQ(displayWidth(line), 27) << line;
  auto row = [](const std::string& text, int padding) {
    return "\u2502 " + text + std::string(static_cast<size_t>(padding), ' ') + " \u2502";
  };
  EXPECT_EQ(all[1], row("Installationsergebnis", 2));
  EXPECT_EQ(all[3], row("Der Hotfix wurde", 7));
  EXPECT_EQ(all[4], row("installiert.", 11));
  EXPECT_EQ(all[5], row("", 23));
  EXPECT_EQ(all[6], row("\xE8\xA3\xBD\xE5\x93\x81\xE3\x81\x8C\xE5\xAE\x9F", 15));
}

class InstallerHostRunTest : public ::testing::Test {
 protected:
  struct Run {
    int status;
    std::string out;
    std::string err;
  };
  Run run(const std::vector<std::string>& args, const std::string& input = "",
          bool terminal = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Console console{in, out, err, terminal, 30};
    const int status = runInstallerPaneHost(args, console);
    return Run{status, out.str(), err.str()};
  }
  // The calls the test pane recorded since the last question.
  std::string calls() {
    auto ask = reinterpret_cast<const char* (*)()>(code_->symbol("TestPaneCalls"));
    return ask != nullptr ? ask() : "(no recorder)";
  }
  void SetUp() override {
    std::string error;
    // Held loaded for the whole test, so the recorder keeps what the host's runs did.
    code_ = LoadedCode::load(std::string(kBundle) + "/Contents/MacOS/testpane.so", &error);
    ASSERT_TRUE(code_) << error;
    calls();
  }

  static constexpr const char* kBundle = RCP_TEST_PANE_BUNDLE;
  std::optional<LoadedCode> code_;
};

TEST_F(InstallerHostRunTest, NonInteractiveShowsThePaneAndLeavesIt) {
  Run result = run({"--non-interactive", kBundle});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Test pane \xEF\xBF\xBD[31m\n\nEntered 1 time(s).\nSecond line.\n");
  EXPECT_EQ(calls(),
            "willEnter(forward) didEnter(forward) shouldExit(forward) willExit(forward) "
            "didExit(forward) ");

  result = run({"--non-interactive", "--language", "refuse-once", kBundle});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "installer-pane-host: the pane does not let the user continue\n");
  EXPECT_EQ(calls(), "willEnter(forward) didEnter(forward) shouldExit(forward) ");
}

TEST_F(InstallerHostRunTest, InteractiveContinueGoBackAndQuit) {
  Run result = run({kBundle}, "x\nb\n\n");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Press Enter to continue, b to go back or q to quit."),
            std::string::npos);
  EXPECT_NE(result.out.find("Entered 2 time(s)."), std::string::npos) << result.out;
  EXPECT_EQ(calls(),
            "willEnter(forward) didEnter(forward) shouldExit(back) willExit(back) didExit(back) "
            "willEnter(forward) didEnter(forward) shouldExit(forward) willExit(forward) "
            "didExit(forward) ");

  // Quitting, or the end of the input, leaves the pane alone.
  for (const std::string& input : {std::string("q\n"), std::string()}) {
    result = run({kBundle}, input);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), "willEnter(forward) didEnter(forward) ");
  }

  result = run({"--language=refuse-once", kBundle}, "\n\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("This pane cannot be left yet."), std::string::npos);
  EXPECT_EQ(calls(),
            "willEnter(forward) didEnter(forward) shouldExit(forward) shouldExit(forward) "
            "willExit(forward) didExit(forward) ");
}

TEST_F(InstallerHostRunTest, OnATerminalThePaneIsFramed) {
  const Run result = run({"--non-interactive", kBundle}, "", true);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.starts_with("\u256D")) << result.out;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(displayWidth(line), 30) << line;
}

TEST_F(InstallerHostRunTest, RefusesBadArgumentsAndBundles) {
  ScratchDirectory scratch("bundles");
  const std::string noInfo = scratch / "noinfo.bundle";
  const std::string noCode = scratch / "nocode.bundle";
  const std::string textCode = scratch / "text.bundle";
  const std::string noFactory = scratch / "nofactory.bundle";
  for (const std::string& bundle : {noInfo, noCode, textCode, noFactory}) {
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
  }
  const PlistValue info(PlistDictionary{{"RCPPaneFactory", "Missing"}});
  for (const std::string& bundle : {noCode, textCode, noFactory}) {
    ASSERT_TRUE(writePlistFile(bundle + "/Contents/Info.plist", info));
  }
  ASSERT_TRUE(testing::writeFile(textCode + "/Contents/MacOS/text.so", "text"));
  std::filesystem::create_symlink(std::string(kBundle) + "/Contents/MacOS/testpane.so",
                                  noFactory + "/Contents/MacOS/nofactory.so");

  struct Row {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{}, 2, "usage: installer-pane-host"},
      {{"--verbose", kBundle}, 2, "unknown option --verbose"},
      {{kBundle, "--language"}, 2, "--language needs a language code"},
      {{"--language=", kBundle}, 2, "--language needs a language code"},
      {{kBundle, kBundle}, 2, "only one plug-in bundle"},
      {{scratch / "missing.bundle"}, 1, "missing.bundle: no such plug-in bundle"},
      {{noInfo}, 1, "the bundle names no pane factory (key RCPPaneFactory of Contents/Info.plist)"},
      {{noCode}, 1, "cannot load the plug-in " + noCode + "/Contents/MacOS/nocode.so: "},
      {{textCode}, 1, "cannot load the plug-in " + textCode + "/Contents/MacOS/text.so: "},
      {{noFactory},
       1,
       "the plug-in " + noFactory + "/Contents/MacOS/nofactory.so has no pane factory Missing"},
  };
  for (const Row& row : rows) {
    const Run result = run(row.args);
    EXPECT_EQ(result.status, row.status) << row.message;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << row.message;
  }
  EXPECT_EQ(calls(), "");
}

}  // namespace
}  // namespace rcpinstall::os::installer_host
