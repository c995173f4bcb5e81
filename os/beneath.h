// Descriptor-anchored access: directories that another user may own are opened once, and
// nothing below them is ever resolved through a symbolic link.
//
// After the first install the product tree belongs to an ordinary user, who may swap any name
// in it for a link while a root process works there. An anchor is a directory opened once, as
// it was found (links in its own path followed). While it is held, every path that the
// services of os/ are given below it (reads, writes, renames, removals, owner and mode
// changes, the permission walk) is resolved from that descriptor one component at a time and
// never through a link, the last component included: a name swapped for a link meanwhile
// leads to a refusal, never to a file outside the tree.
//
// On Linux this is openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS,
// else a walk of openat(O_NOFOLLOW | O_DIRECTORY) one component at a time. On the target
// system the same is openat with O_NOFOLLOW_ANY (macOS 11 and later), else the same walk of
// O_NOFOLLOW | O_DIRECTORY opens; getattrlistbulk and the *at calls then work from the
// descriptors as here.
#pragma once

#include <string>
#include <vector>

namespace rcpinstall::os {

// Anchors held for the length of one scope (one run of a tool, one exported call).
class AnchorScope {
 public:
  AnchorScope() = default;
  ~AnchorScope();
  AnchorScope(const AnchorScope&) = delete;
  AnchorScope& operator=(const AnchorScope&) = delete;

  // Opens the directory at the path and holds it as an anchor until the scope ends. A path
  // that already lies below an anchor is opened from it (no link on the way). False when it
  // is no directory that can be opened; nothing is anchored then.
  bool add(const std::string& path);

 private:
  std::vector<int> held_;
};

// Whether the path lies at or below an anchor held now.
bool isAnchored(const std::string& path);

}  // namespace rcpinstall::os
