// Opening and creating files at fixed names in shared directories (/tmp) without being led
// astray by links, FIFOs or directories planted there.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace rcpinstall::os {

// Opens an existing or new regular file for writing and truncates it: O_WRONLY | O_CREAT |
// O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode 0644 when created. Anything but a regular file there
// (a link, FIFO, directory, device) is refused without blocking. Answers the descriptor or -1.
int openRegularFileTruncated(const std::string& path);
// Closes a descriptor that openRegularFileTruncated gave.
void closeFile(int fd);

// Removes the file, link, FIFO or device at the path itself, with a call that cannot remove a
// directory: a directory there (even one swapped in after a look) is left alone (false,
// EISDIR). A missing entry is no failure.
bool removeSharedEntry(const std::string& path);

// Removes the file or link at the path without following it, then creates a fresh regular
// file with O_CREAT | O_EXCL | O_NOFOLLOW and sets owner, group and mode on the open
// descriptor. A directory at the path is never removed (nobody can tell what it holds for
// whom): the answer is then false, as whenever the file could not be made.
bool createFreshFile(const std::string& path, mode_t mode, std::optional<uid_t> owner,
                     std::optional<gid_t> group, const std::string& contents = {});

}  // namespace rcpinstall::os
