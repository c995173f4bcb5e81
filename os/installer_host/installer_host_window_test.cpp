#include "os/installer_host/installer_host_window.h"

#include <gtest/gtest.h>

#include <sstream>

namespace rcpinstall::os::installer_host {
namespace {

TEST(InstallerHostWindowTest, Options) {
  struct Row {
    std::vector<std::string> args;
    std::string problem;  // empty: accepted
  };
  const std::vector<Row> rows = {
      {{"--window", "b"}, ""},
      {{"b", "--window", "--language=de", "--screenshot", "s.png", "--scroll-to-end"}, ""},
      {{"--window", "--size", "300x200", "b"}, ""},
      {{"--window"}, "usage:"},
      {{"--window", "b", "c"}, "only one plug-in bundle"},
      {{"--window", "--language"}, "--language needs a value"},
      {{"--window", "--size", "99x200", "b"}, "--size needs"},
      {{"--window", "--scroll-to-end", "b"}, "goes with --screenshot"},
      {{"--window", "--non-interactive", "b"}, "--non-interactive is for the terminal"},
      {{"--window=yes", "b"}, "takes no value"},
  };
  for (const Row& row : rows) {
    std::ostringstream err;
    const std::optional<WindowOptions> options = parseWindowOptions(row.args, err);
    EXPECT_EQ(options.has_value(), row.problem.empty()) << err.str();
    EXPECT_NE(err.str().find(row.problem), std::string::npos) << err.str();
  }
  std::ostringstream err;
  const std::optional<WindowOptions> options = parseWindowOptions(
      {"--window", "--language", "ja", "--screenshot", "s.png", "--size", "700x500", "b"}, err);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->languages, std::vector<std::string>{"ja"});
  EXPECT_EQ(options->screenshot, "s.png");
  EXPECT_EQ(options->width, 700);
  EXPECT_EQ(options->height, 500);
  EXPECT_EQ(options->bundle, "b");
}

}  // namespace
}  // namespace rcpinstall::os::installer_host
