// The running processes, as the paths of their executables.
#pragma once

#include <string>
#include <vector>

namespace rcpinstall::os {

// The executable path of every process whose /proc/<pid>/exe can be read, in pid order.
std::vector<std::string> runningExecutablePaths();

}  // namespace rcpinstall::os
