// Shared helpers of the InstanceService sources: instance paths and safe read-modify-write.
#pragma once

#include <optional>
#include <string>

#include "foundation/java_properties.h"

namespace rcpinstall::instance_files {

// The platform home: the rcp home's parent directory.
std::string platformHomeOf(const std::string& rcphome);

// A properties file loaded for rewriting. A missing file gives an empty table; a file that
// exists but cannot be read gives none, so that rewriting it never drops what was not read.
std::optional<JavaProperties> loadForRewrite(const os::Location& path);

// Copies a regular file's content onto the destination through atomic replacement: the
// destination is either its old self or the complete copy, never a partial one.
bool copyFileContent(const os::Location& from, const os::Location& to);

// True when the entry at the path is itself a symbolic link.
bool isSymbolicLink(const os::Location& path);

// A single plain file name: not empty, ".", ".." and without "/".
bool isPlainFileName(const std::string& name);

// The printf argument for an optional text ("(null)" when absent).
inline const char* textOrNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

}  // namespace rcpinstall::instance_files
