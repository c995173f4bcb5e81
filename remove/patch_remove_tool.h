// The removal tool patchremove: locating the platform, the guarded removal, status messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "foundation/register_file.h"
#include "instance/workflow_step.h"
#include "remove/patchremove.h"

namespace rcpinstall {

// The product whose registry names the platform, and where the product is installed when the
// registry names no existing location.
inline constexpr const char* PRODUCT_NAME = "Orrery";
inline constexpr const char* DEFAULT_PLATFORM_HOME = "/Applications/Orrery.app/Contents/MacOS";
inline constexpr const char* RCP_HOME_OPTION = "-rcphome";
// The platform directory inside the platform home.
inline constexpr const char* RCP_DIRECTORY = "rcp";

// Status codes of a removal: the result of the exported functions and the tool's exit status,
// as the public header defines them for C callers.
enum RemovalStatus : std::int16_t {
  kRemovalSucceeded = RCP_UNINSTALL_OK,
  kBundleNotFound = RCP_UNINSTALL_NO_BUNDLE,
  kPlatformNotFound = RCP_UNINSTALL_PLATFORM_NOT_FOUND,
  kLocationUnsupported = RCP_UNINSTALL_UNSUPPORTED_CHARS,
  kPlatformRunning = RCP_UNINSTALL_PLATFORM_RUNNING,
  kRemovalFailed = RCP_UNINSTALL_FAILED,
};

// The checks that make a removal safe, then the removal of the plain hotfix (or the product
// hotfix when orreryHotfix is true) from the platform home, the directory that holds "rcp".
// With `progress`, each step is announced as it starts.
std::int16_t uninstallHotfix(const std::optional<std::string>& platformHome, bool orreryHotfix,
                             StepProgress* progress = nullptr);
// The same, with no failure leaving it as an exception: what the exported functions answer.
std::int16_t guardedUninstallHotfix(const char* pathToPlatformHome, bool orreryHotfix,
                                    StepProgress* progress = nullptr);

// The line the tool prints for a status, newline included; none for 0 and 1.
std::optional<std::string> statusMessage(int status);

// The value after the first "-rcphome" that has one; the program's own path counts as an
// argument like the others.
std::optional<std::string> findRcpHomeOption(const std::vector<std::string>& arguments);

// Whether the arguments (argv[0] first) are a command line the tool acts on: none at all, or
// exactly "-rcphome <value>".
bool isRemovalCommandLine(const std::vector<std::string>& arguments);

// Fixed places the tool reads; tests give their own.
struct PatchRemoveLocations {
  std::string registerDirectory = REGISTER_DIRECTORY;
  std::string defaultPlatformHome = DEFAULT_PLATFORM_HOME;
  std::string traceLogPath = TRACE_LOG_PATH;
};

// The platform home to work on: the "-rcphome" value as given, else the product registry's
// old install location when it exists, else the default platform home when it exists.
std::optional<std::string> locatePlatformHome(const std::vector<std::string>& arguments,
                                              const PatchRemoveLocations& locations = {});

// The whole run of the tool on its arguments (argv[0] first); answers the exit status. Any
// other command line than isRemovalCommandLine accepts prints the usage line, and a run by
// anyone but root the permission message, both with status 1.
int runPatchRemove(const std::vector<std::string>& arguments, bool runningAsRoot,
                   const PatchRemoveLocations& locations = {});

// The tool's entry routine.
int PatchRemoveMain(int argc, char** argv);

}  // namespace rcpinstall
