// The exported C entry points of the hotfix removal.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "os/system_log.h"
#include "remove/patch_remove_tool.h"
#include "remove/patchremove.h"

namespace rcpinstall {

// Every call works in its own scope: whatever it creates is gone when it returns, and no
// failure leaves it as an exception into a C caller.
std::int16_t guardedUninstallHotfix(const char* pathToPlatformHome, bool orreryHotfix,
                                    StepProgress* progress) {
  try {
    std::optional<std::string> platformHome;
    if (pathToPlatformHome != nullptr) platformHome = pathToPlatformHome;
    return uninstallHotfix(platformHome, orreryHotfix, progress);
  } catch (const std::exception& error) {
    os::SystemLog::log(os::SystemLog::kError, "The removal stopped: %s", error.what());
  } catch (...) {
    os::SystemLog::log(os::SystemLog::kError, "The removal stopped.");
  }
  return kRemovalFailed;
}

}  // namespace rcpinstall

extern "C" {

int16_t RCP_UninstallHotfix(const char* pathToPlatformHome, unsigned char orreryHotfix) {
  return rcpinstall::guardedUninstallHotfix(pathToPlatformHome, orreryHotfix != 0);
}

int16_t RCPUninstallHotfix(const char* pathToPlatformHome) {
  return RCP_UninstallHotfix(pathToPlatformHome, 0);
}

int16_t RCPUninstallOrreryHotfix(const char* pathToPlatformHome) {
  return RCP_UninstallHotfix(pathToPlatformHome, 1);
}

}  // extern "C"
