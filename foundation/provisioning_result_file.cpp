// Reading the provisioning result file.
#include "foundation/provisioning_result_file.h"

#include <cctype>
#include <climits>

#include "foundation/java_properties.h"

namespace rcpinstall {

std::optional<int> leadingResultCode(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::optional<int> readProvisionResultCode(const std::string& resultFile) {
  const std::optional<std::string> rc =
      JavaProperties(resultFile).getPropertyForKey(KEY_OF_PROVISION_RESULT);
  if (!rc) return std::nullopt;
  return leadingResultCode(*rc);
}

}  // namespace rcpinstall
