// The exported C entry points of the hotfix removal.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "os/system_log.h"
#include "remove/patch_remove_tool.h"
#include "remove/patchremove.h"

namespace {

// Every call works in its own scope: whatever it creates is gone when it returns, and no
// failure leaves it as an exception into a C caller.
std::int16_t guardedRemoval(const char* pathToPlatformHome, bool orreryHotfix) {
  try {
    std::optional<std::string> platformHome;
    if (pathToPlatformHome != nullptr) platformHome = pathToPlatformHome;
    return rcpinstall::uninstallHotfix(platformHome, orreryHotfix);
  } catch (const std::exception& error) {
    rcpinstall::os::SystemLog::log(rcpinstall::os::SystemLog::kError, "The removal stopped: %s",
                                   error.what());
  } catch (...) {
    rcpinstall::os::SystemLog::log(rcpinstall::os::SystemLog::kError, "The removal stopped.");
  }
  return rcpinstall::kRemovalFailed;
}

}  // namespace

extern "C" {

int16_t RCP_UninstallHotfix(const char* pathToPlatformHome, unsigned char orreryHotfix) {
  return guardedRemoval(pathToPlatformHome, orreryHotfix != 0);
}

int16_t RCPUninstallHotfix(const char* pathToPlatformHome) {
  return RCP_UninstallHotfix(pathToPlatformHome, 0);
}

int16_t RCPUninstallOrreryHotfix(const char* pathToPlatformHome) {
  return RCP_UninstallHotfix(pathToPlatformHome, 1);
}

}  // extern "C"
