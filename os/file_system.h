// Files and directories: tests, listing, copy, delete, creation with attributes, attribute walk.
#pragma once

#include "os/root.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace rcpinstall::os::FileSystem {

// Existence and type, following symbolic links (as the target system's file manager does).
bool exists(const Location& path);
bool isDirectory(const Location& path);
// Existence of the entry itself: a dangling symbolic link exists.
bool entryExists(const Location& path);

// The path with every symbolic link and "." or ".." resolved (realpath); none when some part
// of it does not exist.
std::optional<std::string> resolvedPath(const std::string& path);

// A fresh directory of the process's own (mode 0700) in TMPDIR, else /tmp, named from the
// prefix with a random ending; none when it cannot be made.
std::optional<std::string> makeTemporaryDirectory(const std::string& prefix);

// The entry's own owner, group, permission bits and time of change of its content (a link is
// not followed).
struct EntryAttributes {
  uid_t owner;
  gid_t group;
  unsigned mode;
  bool isLink;
  long long modified = 0;  // seconds since 1970-01-01 UTC
  long long size = 0;      // bytes
};
std::optional<EntryAttributes> entryAttributes(const Location& path);

// Names directly inside a directory (no "." or ".."), in the order the listing gives them;
// none when it cannot be listed.
std::optional<std::vector<std::string>> listDirectory(const Location& path);

// How a copy or merge leaves what it wrote. kSynced: each file is written under a temporary
// name beside its own, synced and renamed into place (a file it replaces is never missing),
// and each directory whose entries it adds or replaces is synced, the destination's parent
// included; a power cut then leaves every file its old or its whole new self. A failed sync
// is a failed copy. kCached leaves the writing to the system, as cp does.
enum class Durability { kCached, kSynced };

// Copies a file or a whole tree to a destination that must not exist; never overwrites.
// Symbolic links are reproduced as links. False on any failure (a partial copy may remain).
bool copyItem(const Location& from, const Location& to,
              Durability durability = Durability::kCached);

// Copies entries keep their permission bits and times, not their owner; set-user-id and
// set-group-id bits are kept only when the copy has the source's owner or group. With root
// powers, a copy made in a directory of another account (copyItem, mergeItem) goes to that
// account and the directory's group as it is made, without set-id bits. A directory
// is never copied into itself: the new copy met during the walk is skipped and the answer is
// false.

// A copy made for a rehearsal, which must hold no symbolic link: each link is replaced by a
// copy of what it leads to, the top included. What cannot be read is left out and named (its
// path relative to the top, "" for the top) with the reason: a file or directory that cannot
// be opened, a link that leads nowhere, a link to a directory that holds it (it would copy
// without end), a FIFO, device or socket. The copy's owner may read and change everything in
// it (owner read and write, and search on directories, are added to the source's modes). A
// failure to write the copy stops it: made is then false and error names the path and the
// reason (what was copied stays). The destination must not exist.
struct SkippedEntry {
  std::string path;
  std::string reason;
};
struct ResolvedCopy {
  bool made = false;
  std::string error;
  std::vector<SkippedEntry> skipped;
};
ResolvedCopy copyResolvingLinks(const Location& from, const Location& to);

// Merges a tree into another. A missing destination becomes a copy of the source (copyItem).
// Otherwise, when the source is a directory (links followed for that test), every name in it
// is merged: a directory into the destination's directory of that name (a missing one is
// copied), anything else replaces the destination's entry of that name. Entries found only in
// the destination stay. Links in the destination are never followed: a destination entry that
// is a link or a file where the source has a directory is left as it is, and deletion removes
// the link itself. A source entry and destination entry that are the same file are left alone.
// False when the source is missing, a file source meets an existing destination, or any entry
// could not be merged; what was merged stays.
bool mergeItem(const Location& from, const Location& to,
               Durability durability = Durability::kCached);

// Deletes a file, a link (not its target) or a whole tree, never following links.
// A missing entry answers false.
bool removeItem(const Location& path);
// The same, then syncs the directory that held the entry, so that the removal survives a
// power cut; false also when that sync fails.
bool removeItemDurably(const Location& path);

// Makes everything written so far to the file system that holds the path durable (syncfs on
// Linux; on the target system F_FULLFSYNC of the files that vouch for the rest). False when
// the path cannot be opened or the sync reports an error.
bool syncFileSystemOf(const Location& path);

// Owner and group by name (looked up with getpwnam / getgrnam); an absent name is unchanged.
struct Attributes {
  std::optional<std::string> owner;
  std::optional<std::string> group;
  std::optional<mode_t> mode;
};

// Creates a directory (not its parents) with the attributes. False when it exists or fails.
bool createDirectory(const Location& path, const Attributes& attributes);
// Creates or truncates a regular file with the content, then applies the attributes.
bool createFile(const Location& path, const std::string& contents, const Attributes& attributes);
// Applies the attributes to one entry without following a link (no mode on a link).
bool setAttributes(const Location& path, const Attributes& attributes);

// Applies the attributes to every entry below the directory (not the directory itself), in
// one walk through directory descriptors, skipping changes already in place. Links are never
// followed: a link's own owner and group may change, its target's never; no mode is applied
// through a link. A regular file with more than one hard link is left unchanged (it may be a
// file outside the tree) and counts as an entry that failed. Answers false when the directory
// is missing or any entry failed.
bool setAttributesBelow(const Location& directory, const Attributes& attributes);
// The same, only when the directory itself (opened once, through no link) belongs to the
// account `owner`; otherwise nothing changes and the answer is false with errno EPERM.
bool setAttributesBelowOwnedBy(const Location& directory, uid_t owner,
                               const Attributes& attributes);

}  // namespace rcpinstall::os::FileSystem
