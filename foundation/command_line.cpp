// Command-line option lookup shared by the command-line tools.
#include "foundation/command_line.h"

namespace rcpinstall {

std::optional<std::string> getValueByKey(const std::vector<std::string>& arguments,
                                         std::string_view name) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == name) return arguments[i + 1];
  }
  return std::nullopt;
}

}  // namespace rcpinstall
