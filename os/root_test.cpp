// Paths below a root: no link on the way is followed, by openat2 or by the walk without it.
#include "os/root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/posix_support.h"
#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

// No link below a root is followed, by the way `walk` chooses; a path no root holds is refused.
void expectNoLinkFollowed(bool walk) {
  testing::ScratchDirectory scratch("roots");
  const std::string top = scratch / "top", dir = top + "/dir";
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(dir + "/file", "inside", 0644));
  ASSERT_TRUE(testing::writeFile(scratch / "outside", "outside", 0644));
  ASSERT_EQ(::symlink("file", (dir + "/link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.c_str(), (top + "/dir-link").c_str()), 0);
  ASSERT_EQ(::symlink(scratch.path().c_str(), (top + "/out").c_str()), 0);
  // Left by a killed run: a temporary file goes, a directory of that name stays.
  ASSERT_TRUE(testing::writeFile(dir + "/.rcptmp.file.abcdef", "stale", 0600));
  ASSERT_EQ(::mkdir((dir + "/.rcptmp.keep").c_str(), 0755), 0);

  EXPECT_EQ(readWholeFile(top + "/dir-link/file"), "inside") << "a plain path: links followed";
  posix::walkWithoutOpenat2(walk);
  Roots roots;
  ASSERT_TRUE(roots.add(top));
  ASSERT_TRUE(roots.add(dir)) << "opened from the root that holds it";
  EXPECT_TRUE(roots.holds(dir + "/file"));
  EXPECT_EQ(readWholeFile(roots.at(dir + "/file")), "inside");
  for (const std::string& path : {dir + "/link", top + "/dir-link/file", top + "/out/outside",
                                  dir + "/../dir/file", scratch / "outside"}) {
    EXPECT_EQ(readWholeFile(roots.at(path)), std::nullopt) << path;
  }
  EXPECT_TRUE(roots.at(scratch / "outside").refused());
  EXPECT_FALSE(replaceFileAtomically(roots.at(top + "/out/outside"), "changed"));
  EXPECT_FALSE(FileSystem::setAttributesBelow(roots.at(top + "/dir-link"),
                                              {std::nullopt, std::nullopt, 0700}));
  EXPECT_FALSE(FileSystem::removeItem(roots.at(top + "/dir-link/file")));
  EXPECT_TRUE(replaceFileAtomically(roots.at(dir + "/file"), "inside"));
  // The last component is never followed: opened as a path, a link gives the link itself.
  const int link = posix::openPath(roots.at(dir + "/link"), O_PATH);
  struct stat status {};
  EXPECT_TRUE(link >= 0 && ::fstat(link, &status) == 0 && S_ISLNK(status.st_mode));
  if (link >= 0) ::close(link);
  EXPECT_EQ(posix::resolvesWithOpenat2(), !walk);
  EXPECT_TRUE(roots.syncRoot(dir));
  EXPECT_TRUE(FileSystem::removeItem(roots.at(top + "/dir-link"))) << "the link itself";
  posix::walkWithoutOpenat2(false);
  EXPECT_EQ(readWholeFile(scratch / "outside"), "outside");
  EXPECT_EQ(readWholeFile(dir + "/file"), "inside");
  EXPECT_FALSE(FileSystem::entryExists(dir + "/.rcptmp.file.abcdef"));
  EXPECT_TRUE(FileSystem::isDirectory(dir + "/.rcptmp.keep"));
}

TEST(RootsTest, NoLinkBelowARootIsFollowedByOpenat2) {
  posix::walkWithoutOpenat2(false);
  if (!posix::resolvesWithOpenat2()) GTEST_SKIP() << "this kernel refuses openat2";
  expectNoLinkFollowed(false);
}

TEST(RootsTest, NoLinkBelowARootIsFollowedByTheWalk) {
  expectNoLinkFollowed(true);
}

}  // namespace
}  // namespace rcpinstall::os
