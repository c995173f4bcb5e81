// User preferences: property-list domains under the effective user's Library/Preferences.
#pragma once

#include <optional>
#include <string>

#include "os/plist_value.h"

namespace rcpinstall::os {

// The machine-wide global domain, last in the standard search list.
inline constexpr const char* kSystemGlobalPreferencesFile =
    "/Library/Preferences/.GlobalPreferences.plist";

// "<home>/Library/Preferences/<domain>.plist" of the effective user at the time of the call
// (password-database home of geteuid()), XML or binary; none when missing, unreadable, not a
// dictionary, or when the domain is not a plain name (empty, or holding "/").
// home, when given, stands in for the effective user's home.
std::optional<PlistValue> persistentDomain(const std::string& domain,
                                           const std::optional<std::string>& home = std::nullopt);

// A key from the standard search list: the user's global domain
// "<home>/Library/Preferences/.GlobalPreferences.plist", then
// "/Library/Preferences/.GlobalPreferences.plist".
std::optional<PlistValue> standardPreference(
    const std::string& key, const std::optional<std::string>& home = std::nullopt,
    const std::string& systemGlobalFile = kSystemGlobalPreferencesFile);

}  // namespace rcpinstall::os
