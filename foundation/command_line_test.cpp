#include "foundation/command_line.h"

#include <gtest/gtest.h>

namespace rcpinstall {
namespace {

TEST(CommandLineTest, GetValueByKey) {
  using Args = std::vector<std::string>;
  struct Row {
    Args arguments;
    const char* name;
    std::optional<std::string> value;
  };
  const Row rows[] = {
      {{"tool", "-featureID", "a"}, "-featureID", "a"},
      {{"tool", "-featureID", "a", "-featureID", "b"}, "-featureID", "a"},
      {{"tool", "-featureID", "-featureID", "b"}, "-featureID", "-featureID"},
      {{"tool", "-featureID", "-rcphome"}, "-featureID", "-rcphome"},
      {{"tool", "-featureID", ""}, "-featureID", ""},
      {{"tool", "x", "-rcphome", "/p", "y"}, "-rcphome", "/p"},
      {{"tool", "-rcphome"}, "-rcphome", std::nullopt},
      {{"tool", "-a", "1", "-rcphome"}, "-rcphome", std::nullopt},
      {{"-rcphome", "/argv0"}, "-rcphome", "/argv0"},
      {{"tool", "-FeatureID", "a"}, "-featureID", std::nullopt},
      {{"tool", "--featureID", "a"}, "-featureID", std::nullopt},
      {{"tool", "-featureID=a"}, "-featureID", std::nullopt},
      {{"tool", "-featureID "}, "-featureID", std::nullopt},
      {{"tool"}, "-featureID", std::nullopt},
      {{}, "-featureID", std::nullopt},
      {{"tool", "", "v"}, "", "v"},
  };
  int index = 0;
  for (const Row& row : rows) {
    EXPECT_EQ(getValueByKey(row.arguments, row.name), row.value) << "row " << index++;
  }
}

}  // namespace
}  // namespace rcpinstall
