// Reading whole files, and replacing a file atomically so a reader sees the old or the new one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rcpinstall::os {

// The whole content of a regular file (symbolic links followed); none when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Writes to a temporary file (mkstemp) beside the target, fsyncs it, gives it the mode of the
// file it replaces (and, when running as root, its owner and group; a new file gets 0644),
// renames it over the target and fsyncs the directory. On any failure the old file is left
// intact, the temporary file is removed, and the answer is false.
bool replaceFileAtomically(const std::string& path, std::string_view contents);

}  // namespace rcpinstall::os
