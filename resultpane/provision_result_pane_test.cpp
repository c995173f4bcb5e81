#include "resultpane/provision_result_pane.h"

#include <gtest/gtest.h>

#include "resultpane/test_layout.h"

namespace rcpinstall {
namespace {

using resultpane_testing::Layout;

class RecordingTextView : public os::TextView {
 public:
  void setFont(const os::Font& font) override { this->font = font; }
  void setText(const std::string& text) override { this->text = text; }
  void setEditable(bool editable) override { this->editable = editable; }

  std::optional<os::Font> font;
  std::string text;
  bool editable = true;
};

TEST(ProvisionResultPaneTest, PartialResultsAddTheStatusLineWhenThereIsOne) {
  const std::vector<std::tuple<std::optional<int>, std::string, std::string>> rows = {
      {7, "1;2;3;4;5;6;Two of three\n", "higher in /A\n\nTwo of three"},
      {std::nullopt, "1;2;3\n", "partial"},  // no status field: no empty line either
  };
  for (const auto& [error, log, expected] : rows) {
    Layout layout;
    layout.writeResult("rc=2\n");
    layout.writeLog(log);
    if (error) layout.sendRecord(makeErrorRecord(*error, {"/A"}));
    RecordingTextView view;
    ProvisionResultPane pane(&view, {}, layout.bundle(), layout.sources());
    pane.willEnterPane(os::Direction::Forward);
    EXPECT_EQ(view.text, expected);
    EXPECT_EQ(view.font, os::systemFont());
    EXPECT_FALSE(view.editable);
  }
}

TEST(ProvisionResultPaneTest, WithoutATableTheTitleIsItsKey) {
  EXPECT_EQ(ProvisionResultPane(nullptr).title(), "Title");
}

}  // namespace
}  // namespace rcpinstall
