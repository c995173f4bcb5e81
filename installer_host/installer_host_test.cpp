#include "installer_host/installer_host.h"

#include <gtest/gtest.h>

#include <sstream>

namespace rcpinstall::installer_host {

namespace {

TEST(InstallerHostTextTest, WidthsAndWhatReachesTheTerminal) {
  EXPECT_EQ(displayWidth("R\xC3\xA9sultat"), 8);
  EXPECT_EQ(displayWidth("e\xCC\x81"), 1);                 // combining acute
  EXPECT_EQ(displayWidth("\xE7\xB5\x90\xE6\x9E\x9C"), 4);  // two ideographs
  EXPECT_EQ(displayWidth("\xFF"), 1);                      // not UTF-8
  // Nothing a pane shows (a status line from the platform's log) can drive the terminal.
  EXPECT_EQ(printable("a\tb\nred \x1B[31m\r\xC2\x9B"
                      "2J caf\xE9"),
            "a b\nred \xEF\xBF\xBD[31m\xEF\xBF\xBD\xEF\xBF\xBD"
            "2J caf\xEF\xBF\xBD");
}

TEST(InstallerHostTextTest, WrapsWordsWideCharactersAndParagraphs) {
  struct Row {
    std::string text;
    int width;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"one two three four", 9, {"one two", "three", "four"}},
      {"  one    two", 5, {"  one", "two"}},  // indentation stays, spaces at a break go
      {"abcdefghij kl", 4, {"abcd", "efgh", "ij", "kl"}},
      {"a\n\nb c\n", 3, {"a", "", "b c", ""}},
      {"\xE8\xA3\xBD\xE5\x93\x81\xE3\x81\x8C\xE5\xAE\x9F",
       5,
       {"\xE8\xA3\xBD\xE5\x93\x81", "\xE3\x81\x8C\xE5\xAE\x9F"}},
      // A closing mark stays with the character before it.
      {"\xE8\xA3\xBD\xE5\x93\x81\xE3\x80\x82", 4, {"\xE8\xA3\xBD", "\xE5\x93\x81\xE3\x80\x82"}},
      {"\xE8\xA3\xBD", 1, {"\xE8\xA3\xBD"}},
  };
  for (const Row& row : rows) EXPECT_EQ(wrapText(row.text, row.width), row.lines) << row.text;
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
  EXPECT_EQ(all[1], "\u2502 Installationsergebnis   \u2502");
  EXPECT_EQ(all[4], "\u2502 installiert.            \u2502");
}

}  // namespace
}  // namespace rcpinstall::installer_host
