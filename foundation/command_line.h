// Command-line option lookup shared by the command-line tools.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rcpinstall {

// The argument that follows the first argument equal to `name` (exact, case-sensitive) and
// that has one; that value is taken whatever it looks like, even when it begins with "-" or is
// empty. Every argument is a candidate, the program's own path (arguments[0]) included. An
// option in last position is passed over; no match gives none.
std::optional<std::string> getValueByKey(const std::vector<std::string>& arguments,
                                         std::string_view name);

}  // namespace rcpinstall
