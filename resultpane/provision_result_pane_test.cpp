#include "resultpane/provision_result_pane.h"

#include <gtest/gtest.h>

#include "resultpane/test_layout.h"

namespace rcpinstall {
namespace {

using resultpane_testing::Layout;

class RecordingTextView : public os::TextView {
 public:
  void setFont(const os::Font& font) override { this->font = font; }
  void setText(const std::string& text) override {
    this->text = text;
    ++texts;
  }
  void setEditable(bool editable) override { this->editable = editable; }

  std::optional<os::Font> font;
  std::string text;
  int texts = 0;
  bool editable = true;
};

TEST(ProvisionResultPaneTest, ShowsTheOutcomeWithTheStatusLineOnPartialResults) {
  struct Row {
    const char* name;
    std::optional<int> error;
    std::string result;
    std::string log;
    std::string expected;
  };
  const std::string log = "2024;x;y;z;w;v;Installed 2 of 3|-Missing: org.x|Restart;end\n";
  const std::string status = "Installed 2 of 3\n\nMissing: org.x\n\nRestart";
  const std::vector<Row> rows = {
      {"partial results", std::nullopt, "rc=2\n", log, "partial\n\n" + status},
      {"error code and partial results", 7, "rc=2\n", log, "higher in /A/O.app\n\n" + status},
      {"success: the status line is not shown", std::nullopt, "rc=0\n", log, "success"},
      {"failure", 0, "rc=1\n", log, "failure"},
      {"partial results without a status line", std::nullopt, "rc=2\n", "1;2;3\n", "partial"},
      {"partial results without a log", std::nullopt, "rc=2\n", "", "partial"},
  };
  for (const Row& row : rows) {
    Layout layout;
    layout.writeHandOff();
    layout.writeResult(row.result);
    if (!row.log.empty()) layout.writeLog(row.log);
    if (row.error) layout.sendError(*row.error, {"/A/O.app"});
    RecordingTextView view;
    ProvisionResultPane pane(&view, {}, layout.bundle(), layout.sources());
    pane.willEnterPane(os::Direction::Forward);
    EXPECT_EQ(view.text, row.expected) << row.name;
    EXPECT_EQ(view.font, os::systemFont()) << row.name;
    EXPECT_FALSE(view.editable) << row.name;
  }
}

TEST(ProvisionResultPaneTest, FillsOnceAndCleansUpOnEveryExit) {
  Layout layout;
  layout.writeHandOff();
  layout.writeResult("rc=0\n");
  layout.sendError(6, {"Orrery"});
  const std::string leftover = layout.sources().leftoverConfigurationFile;
  ASSERT_TRUE(testing::writeFile(leftover, "x"));

  RecordingTextView view;
  ProvisionResultPane pane(&view, {}, layout.bundle(), layout.sources());
  pane.willEnterPane(os::Direction::Forward);
  EXPECT_EQ(view.text, "Orrery running");

  pane.didExitPane(os::Direction::Backward);
  EXPECT_FALSE(std::filesystem::exists(layout.resultFile()));
  EXPECT_FALSE(std::filesystem::exists(leftover));
  EXPECT_TRUE(std::filesystem::exists(layout.sources().configurationFile));
  EXPECT_EQ(layout.channel(), makeErrorRecord(kNoError));

  // Back on the pane: the first text stays, though the sources now say otherwise.
  pane.willEnterPane(os::Direction::Forward);
  EXPECT_EQ(view.texts, 1);
  EXPECT_EQ(view.text, "Orrery running");

  layout.sendError(7, {"/A"});
  pane.didExitPane(os::Direction::Forward);
  EXPECT_EQ(layout.channel(), makeErrorRecord(kNoError));

  // A pane without a text view still cleans up.
  layout.writeResult("rc=0\n");
  ProvisionResultPane headless(nullptr, {}, layout.bundle(), layout.sources());
  headless.willEnterPane(os::Direction::Forward);
  headless.didExitPane(os::Direction::Forward);
  EXPECT_FALSE(std::filesystem::exists(layout.resultFile()));
}

TEST(ProvisionResultPaneTest, TitleFromTheTableElseTheKey) {
  Layout layout;
  layout.writeTable("de", "\"Title\" = \"Ergebnis\";");
  layout.writeTable("fr", "\"Other\" = \"x\";");
  EXPECT_EQ(ProvisionResultPane(nullptr, {}, layout.bundle("en")).title(), "Result");
  EXPECT_EQ(ProvisionResultPane(nullptr, {}, layout.bundle("de")).title(), "Ergebnis");
  EXPECT_EQ(ProvisionResultPane(nullptr, {}, layout.bundle("fr")).title(), "Title");
  // Outside a plug-in bundle there is no table at all.
  EXPECT_EQ(ProvisionResultPane(nullptr).title(), "Title");
}

}  // namespace
}  // namespace rcpinstall
