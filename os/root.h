// Roots: directories that another user may own, opened once by a run and reached only from
// their descriptors.
//
// After the first install the product tree belongs to an ordinary user, who may swap any name
// in it for a link while a root process works there. A run (a tool's entry routine, one
// exported call) opens the directories it works in once, as Roots, and hands them to the
// objects that work there. Every service of os/ acts on a Location: a path outside every root
// (resolved as the system resolves it), or a path at or below one of a run's roots, which is
// resolved from that root's descriptor one component at a time and never through a link, the
// last component included. A name swapped for a link meanwhile leads to a refusal, never to a
// file outside the tree. Reading a call site tells which: `roots.at(path)` or a plain path.
//
// On Linux this is openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS,
// else a walk of openat(O_NOFOLLOW | O_DIRECTORY) one component at a time. Which one serves is
// probed once, when the first root of the process is opened; a later refusal is a refusal.
// On the target system the same is openat with O_NOFOLLOW_ANY (macOS 11 and later), else the
// same walk; getattrlistbulk and the *at calls then work from the descriptors as here.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rcpinstall::os {

class Roots;

// Where a service of os/ acts. A plain path converts to a location outside every root.
class Location {
 public:
  Location(std::string path) : path_(std::move(path)) {}  // NOLINT: a plain path is outside
  Location(const char* path) : path_(path) {}             // NOLINT
  Location(const std::filesystem::path& path) : path_(path.string()) {}  // NOLINT

  const std::string& path() const { return path_; }
  // The run's roots that hold the path; null for a path outside every root.
  const Roots* roots() const { return roots_; }
  // A path that Roots::at was asked for but that no root holds: every service refuses it
  // (errno EXDEV), so that a path below the product never silently escapes its root.
  bool refused() const { return refused_; }

 private:
  friend class Roots;
  std::string path_;
  const Roots* roots_ = nullptr;
  bool refused_ = false;
};

// The directories a run works in, each held open (readable, so that it can be synced) for as
// long as the object lives. Not copied: the run owns them and lends them to its objects.
class Roots {
 public:
  Roots() = default;
  ~Roots();
  Roots(const Roots&) = delete;
  Roots& operator=(const Roots&) = delete;

  // Opens the directory at the path and holds it. A path that lies below a root already held
  // is opened from it (no link on the way); otherwise as the path leads now. False when it is
  // no directory that can be opened; nothing is added then.
  [[nodiscard]] bool add(const std::string& path);
  // Roots that hold nothing and give every path as the plain path, links followed: for a
  // tree that is only read, by a process that may read it by path anyway.
  static std::shared_ptr<const Roots> followingLinks();
  // Whether the path lies at or below one of the roots.
  bool holds(const std::string& path) const;
  // The location of a path at or below one of the roots; for any other path, one that every
  // service refuses.
  Location at(const std::string& path) const;
  // Syncs the directory of the root that is exactly at the path (fsync of the held
  // descriptor). False when no root is there or the sync reports an error.
  bool syncRoot(const std::string& path) const;

  // For os/ only: the held directory that holds the path (the innermost one, or with
  // `strictly` one above the path, so that the path is an entry of a directory reached from
  // it) and the path's components below it. -1 when none holds it.
  int find(const std::string& path, std::vector<std::string>& below, bool strictly) const;

 private:
  struct Held {
    std::vector<std::string> parts;
    int fd;
  };
  std::vector<Held> held_;
  bool followsLinks_ = false;
};

}  // namespace rcpinstall::os
