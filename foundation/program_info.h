// The answers every program gives to a lone "--help" or "--version" on its command line.
#pragma once

#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#ifndef RCP_PROJECT_VERSION
#define RCP_PROJECT_VERSION "0.0.0"
#endif

namespace rcpinstall {

// The version of the hotfix tools, the same in every program.
inline constexpr const char* PROJECT_VERSION = RCP_PROJECT_VERSION;

// When the option is the program's single argument, "--help" prints the usage text and
// "--version" prints "<program> <version>", both to out, and the answer is the exit status:
// 0, or 1 when out could not be written. Any other command line answers none: it belongs to
// the program, which reads it exactly as it would without these two options (so
// "featurecheck -featureID --help" still looks up the feature "--help").
inline std::optional<int> answerHelpOrVersion(int argc, char** argv, std::string_view program,
                                              std::string_view usage,
                                              std::ostream& out = std::cout) {
  if (argc != 2 || argv[1] == nullptr) return std::nullopt;
  const std::string_view option = argv[1];
  if (option == "--help") {
    out << usage;
  } else if (option == "--version") {
    out << program << ' ' << PROJECT_VERSION << '\n';
  } else {
    return std::nullopt;
  }
  out.flush();
  return out ? 0 : 1;
}

}  // namespace rcpinstall
