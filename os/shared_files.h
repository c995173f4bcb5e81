// Files at fixed names in shared directories (/tmp, and a user's own directory in it): each
// directory is opened once, its owner checked on the open descriptor, and every later look,
// read, write and removal goes through that descriptor, never through the path again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rcpinstall::os {

struct ReplacementAttributes;

// Whether an entry of this owner may be taken as made by this run's own people: root, the
// account the process runs as, or the invoking user (USER). What anyone else left at a fixed
// name is not this run's: never written into, never read as an outcome.
bool isOwnedByThisRunsUsers(uid_t owner);

class SharedDirectory {
 public:
  // Opens the directory at the path (O_DIRECTORY; with `noLink` a link as its last component
  // is refused). It is usable only when it belongs to root or to this run's users.
  explicit SharedDirectory(const std::string& path, bool noLink = true);
  // The directory that holds the entry at the path (links on the way to it are the system's
  // own, as /tmp may be one); `name` receives the entry's name.
  static SharedDirectory holding(const std::string& path, std::string& name);
  // The directory `name` inside this one, opened without following a link; with `create` it
  // is made (mode 0700) when missing. `made` tells whether it was made now.
  SharedDirectory subdirectory(const std::string& name, bool create, bool* made = nullptr) const;
  ~SharedDirectory();
  SharedDirectory(SharedDirectory&& other) noexcept;
  SharedDirectory& operator=(SharedDirectory&& other) = delete;
  SharedDirectory(const SharedDirectory&) = delete;
  SharedDirectory& operator=(const SharedDirectory&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  uid_t owner() const { return owner_; }
  gid_t group() const { return group_; }
  // Gives the directory itself owner, group and mode through the descriptor.
  bool setAttributes(std::optional<uid_t> owner, std::optional<gid_t> group, mode_t mode);

  // The content of the regular file `name`: no link followed, a FIFO never blocks, a file with
  // a second name (a hard link planted here) or of another owner than this run's users is
  // treated as missing and the system log says so. A file larger than `limit` is unreadable.
  std::optional<std::string> readFile(const std::string& name, size_t limit) const;
  // Puts a fresh regular file at `name`: whatever entry is there (never a directory, which is
  // left alone: false) is removed, and the content, written and given owner, group and mode
  // in a file without a name (O_TMPFILE), is linked at the name; where the file system has no
  // unnamed files the name is created with O_EXCL. Nothing else is ever named here, so
  // nothing needs sweeping after a killed run. Without owner and group the file is the
  // process's own.
  bool placeFile(const std::string& name, std::string_view contents, mode_t mode,
                 std::optional<uid_t> owner = std::nullopt,
                 std::optional<gid_t> group = std::nullopt);
  // Replaces `name` atomically through a temporary file in this directory, for a directory
  // that is a user's own, where a killed run's temporary is swept by the next.
  bool replaceFile(const std::string& name, std::string_view contents,
                   const ReplacementAttributes& attributes);
  // Removes the file, link, FIFO or device at `name` with a call that cannot remove a
  // directory: a directory there is left alone (false, EISDIR). A missing entry is no failure.
  bool removeEntry(const std::string& name);
  // Opens the regular file `name` for writing and truncates it (mode 0644 when created). A
  // link, FIFO, directory, a file with a second name or one of another owner than this run's
  // users is refused (-1) without blocking.
  int openTruncated(const std::string& name);

 private:
  SharedDirectory(int fd, std::string path);
  bool check();

  int fd_ = -1;
  std::string path_;
  uid_t owner_ = 0;
  gid_t group_ = 0;
};

// The same at a path, in the directory that holds it.
int openRegularFileTruncated(const std::string& path);
// Closes a descriptor that openRegularFileTruncated gave.
void closeFile(int fd);
bool removeSharedEntry(const std::string& path);
bool createFreshFile(const std::string& path, mode_t mode, std::optional<uid_t> owner,
                     std::optional<gid_t> group, const std::string& contents = {});
// A file at the path that only this run's users made (see SharedDirectory::readFile).
std::optional<std::string> readSharedFile(const std::string& path, size_t limit);

}  // namespace rcpinstall::os
