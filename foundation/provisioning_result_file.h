// The result file a provisioning run leaves in the platform home, read the same way by every
// tool that looks at it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rcpinstall {

inline constexpr const char* PROVISION_RC_FILE = ".provisioning_rc";
inline constexpr const char* KEY_OF_PROVISION_RESULT = "rc";

// The leading decimal integer of a text: white space, an optional sign, then digits, stopping
// at the first other character; beyond the int range it saturates. None when no digit
// follows, so that a damaged result file never reads as success.
std::optional<int> leadingResultCode(std::string_view text);

// The code the result file records under "rc"; none when the file cannot be read, holds no
// "rc", or its value begins with no number.
std::optional<int> readProvisionResultCode(const std::string& resultFile);

}  // namespace rcpinstall
