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

// Removes whatever is at the path without following it (a directory tree too), then creates a
// fresh regular file with O_CREAT | O_EXCL | O_NOFOLLOW and sets owner, group and mode on the
// open descriptor. Answers false when it could not.
bool createFreshFile(const std::string& path, mode_t mode, std::optional<uid_t> owner,
                     std::optional<gid_t> group, const std::string& contents = {});

}  // namespace rcpinstall::os
