// hotfixcheck: the JSON documents of rehearse, status and needs-install, the printing of every
// document, and the rehearsal's report as it passes from the process that rehearses to the one
// that prints.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "hotfixcheck/hotfix_check.h"

namespace rcpinstall::HotfixCheck {

nlohmann::json rehearsalDocument(const Rehearsal& report, bool keep);
nlohmann::json statusDocument(const InstanceStatus& status);
nlohmann::json needsInstallDocument(const InstallNeed& need, const InstanceStatus& status,
                                    const std::string& wanted);

// The document as printed: every text that is not valid UTF-8 is printed with its bad bytes
// replaced, and its bytes also go, in hexadecimal, into a field beside it named after it with
// "Hex" appended (for an array, an array of the same length with null for the valid texts).
std::string printable(nlohmann::json document);

// The rehearsal's report as bytes that keep every text exactly (CBOR), and back.
std::string encodeRehearsal(const Rehearsal& report);
std::optional<Rehearsal> decodeRehearsal(std::string_view bytes);

// A time in seconds since 1970 as "2026-12-08T10:15:00Z".
std::string utcTime(long long seconds);

}  // namespace rcpinstall::HotfixCheck
