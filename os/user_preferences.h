// User preferences: property-list domains under the effective user's Library/Preferences.
#pragma once

#include <optional>
#include <string>

#include "os/plist_value.h"

namespace rcpinstall::os {

// "<home>/Library/Preferences/<domain>.plist" of the effective user at the time of the call
// (password-database home of geteuid()), XML or binary; none when missing or unreadable.
std::optional<PlistValue> persistentDomain(const std::string& domain);

// A key from the standard search list: the user's global domain
// "<home>/Library/Preferences/.GlobalPreferences.plist", then
// "/Library/Preferences/.GlobalPreferences.plist".
std::optional<PlistValue> standardPreference(const std::string& key);

}  // namespace rcpinstall::os
