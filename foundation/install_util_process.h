// The clock-independent core of InstallUtil's manifest version, for callers that hold a time.
#pragma once

#include <ctime>
#include <string>

namespace rcpinstall::InstallUtil {

// The manifest version text DDMMYYhhmm of the moment, in the local time zone.
std::string generateNewManifestVersion(std::time_t moment);

}  // namespace rcpinstall::InstallUtil
