// Reading whole files, and replacing a file atomically so a reader sees the old or the new one.
#pragma once

#include "os/root.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace rcpinstall::os {

// The most a whole-file read takes into memory: a larger file is an unreadable one.
inline constexpr size_t kReadLimit = size_t{64} << 20;

// The whole content of the regular file at a path; none when it cannot be read, is anything
// but a regular file, or is larger than kReadLimit (the system log says so). A FIFO never
// blocks the open. A symbolic link as the path's last component is followed, or refused where
// someone else may have planted it.
enum class FinalLink { kFollow, kRefuse };
std::optional<std::string> readRegularFile(const Location& path, FinalLink finalLink);

// The same with a limit on the size, and the reason when there is no content: the text of the
// failed call's error, what the entry is when it is no regular file ("a directory", "a FIFO",
// ...), or, for a file larger than the limit, tooLarge and nothing read. With keepEnd a larger
// file gives its last `limit` bytes instead.
struct LimitedRead {
  std::optional<std::string> contents;
  std::string reason;
  int error = 0;  // the failed call's errno; 0 when the entry was no regular file or too large
  bool tooLarge = false;
};
LimitedRead readRegularFileAtMost(const Location& path, size_t limit,
                                  FinalLink finalLink = FinalLink::kFollow, bool keepEnd = false);

// The whole content of a regular file (symbolic links followed).
inline std::optional<std::string> readWholeFile(const Location& path) {
  return readRegularFile(path, FinalLink::kFollow);
}

// Writes to a temporary file (mkstemp) beside the target, fsyncs it, gives it the mode of the
// file it replaces (and, when running as root, its owner and group; a new file gets 0644),
// renames it over the target and fsyncs the directory (opened for reading: never through an
// O_PATH descriptor, which cannot be synced). On any failure before the rename the old file is
// left intact, the temporary file is removed, and the answer is false; a failed sync of the
// directory after the rename is a failed write too (false), though the new content stands.
// Attributes, when given, take the place of those the replaced file would pass on; they are set
// on the temporary file's descriptor before the rename, so the new file never shows others.
struct ReplacementAttributes {
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
  std::optional<mode_t> mode;
};
bool replaceFileAtomically(const Location& path, std::string_view contents,
                           const ReplacementAttributes& attributes = {});
// The same for the entry `name` of an open directory.
bool replaceFileAtomicallyAt(int directory, const std::string& name, std::string_view contents,
                             const ReplacementAttributes& attributes = {});

// For fixed names in shared directories (/tmp), where anyone may have planted an entry.
// The whole content of the regular file at the path itself: a symbolic link there is not
// followed.
inline std::optional<std::string> readSharedRegularFile(const std::string& path) {
  return readRegularFile(path, FinalLink::kRefuse);
}
// A fresh file of the process's own with `mode` at the path, never taking mode, owner or group
// from what was there: the entry there is removed (never a directory, never written through)
// and the new file, written without a name, linked in its place (SharedDirectory::placeFile),
// so that no temporary is ever named in the shared directory.
bool replaceSharedFileAtomically(const std::string& path, std::string_view contents,
                                 unsigned mode = 0644);

}  // namespace rcpinstall::os
