// Fuzz target: the option lookup of the command-line tools. The input is NUL-separated: the
// option name, then the arguments (the program's path first).
#include <vector>

#include "featurecheck/feature_check.h"
#include "foundation/command_line.h"
#include "fuzz/fuzz_support.h"
#include "remove/patch_remove_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace rcpinstall;
  std::vector<std::string> pieces;
  const std::string_view text = fuzz::asText(data, size);
  for (size_t start = 0;;) {
    const size_t end = text.find('\0', start);
    pieces.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const std::string name = pieces.front();
  const std::vector<std::string> arguments(pieces.begin() + 1, pieces.end());

  // A value is answered exactly when some argument but the last is the name, and it is the
  // argument after the first such one.
  const std::optional<std::string> value = getValueByKey(arguments, name);
  size_t first = 0;
  while (first + 1 < arguments.size() && arguments[first] != name) ++first;
  if (first + 1 < arguments.size()) {
    FUZZ_CHECK(value == arguments[first + 1]);
  } else {
    FUZZ_CHECK(!value);
  }

  // Both tools read their options by the same rule.
  const std::optional<std::string> rcpHome = getValueByKey(arguments, RCP_HOME_OPTION);
  FUZZ_CHECK(findRcpHomeOption(arguments) == rcpHome);
  const FeatureCheck::Options options = FeatureCheck::readOptions(arguments);
  FUZZ_CHECK(options.rcpHome == rcpHome);
  FUZZ_CHECK(options.productName == getValueByKey(arguments, PRODUCT_NAME_OPTION));
  FUZZ_CHECK(options.installFeatureID == getValueByKey(arguments, INSTALL_FEATURE_ID_OPTION));
  FUZZ_CHECK(options.featureID == getValueByKey(arguments, FEATURE_ID_OPTION));
  return 0;
}
