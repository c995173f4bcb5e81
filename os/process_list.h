// The running processes, as the paths of their executables.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace rcpinstall::os {

// Where the kernel lists the processes.
inline constexpr const char* PROC_DIRECTORY = "/proc";

// The executable path of every process whose <procDirectory>/<pid>/exe can be read, in pid
// order. A process whose executable was deleted or replaced keeps its listed path (the kernel
// adds " (deleted)"), so it still lies under its bundle.
std::vector<std::string> runningExecutablePaths(const std::string& procDirectory = PROC_DIRECTORY);

// The executable this process was started from, as an absolute path with links resolved;
// none when the system cannot tell. Programs find the tools installed beside them from it.
std::optional<std::string> ownExecutablePath();

}  // namespace rcpinstall::os
