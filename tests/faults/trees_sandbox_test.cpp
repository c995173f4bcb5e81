// Links planted in the trees a root install works on: the platform tree that the permission
// repair walks and the package's extras that the merge copy brings into the instance. Links
// point out of the trees at a root-only canary; a hard link to the canary sits inside them.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "tests/faults/canary.h"
#include "tests/faults/racer.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::PatchApplyScenario;
using apply_scenario::Product;
using testing::readFile;
using testing::RunResult;

// Hard links cannot cross file systems, and the scratch trees are in /tmp.
constexpr const char* kCanaryDirectory = "/tmp/.canary-trees";

std::string linkTarget(const std::string& path) {
  char buffer[4096];
  const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
  return length < 0 ? std::string("<no link>") : std::string(buffer, static_cast<size_t>(length));
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The hostile entries of one directory: a link to the canary, a link to its directory and a
// hard link to it.
struct Plants {
  std::vector<std::string> symbolicLinks;  // each with the target it was given
  std::vector<std::string> targets;
  int hardLinks = 0;

  void plantIn(const std::string& directory, const Canary& canary) {
    ASSERT_EQ(std::system(("mkdir -p '" + directory + "'").c_str()), 0);
    for (const auto& [name, target] : {std::pair{"secret-link", canary.path()},
                                       std::pair{"canary-dir-link", canary.directory()}}) {
      const std::string path = directory + "/" + name;
      ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
      symbolicLinks.push_back(path);
      targets.push_back(target);
    }
    ASSERT_EQ(::link(canary.path().c_str(), (directory + "/secret-hard").c_str()), 0) << directory;
    ++hardLinks;
  }

  void expectStillLinks() const {
    for (size_t i = 0; i < symbolicLinks.size(); ++i) {
      struct stat st {};
      ASSERT_EQ(::lstat(symbolicLinks[i].c_str(), &st), 0) << symbolicLinks[i];
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << symbolicLinks[i];
      EXPECT_EQ(linkTarget(symbolicLinks[i]), targets[i]) << symbolicLinks[i];
    }
  }
};

class TreeLinks : public PatchApplyScenario {};

TEST_F(TreeLinks, InstallRepairsAndMergesWithoutReachingTheCanary) {
  const Canary canary(kCanaryDirectory);
  const Product product(scratch_ / "Applications");
  const Package package(scratch_ / "package");
  const std::string extras = package.deploy("extras");
  const std::string installedExtras = product.deploy("extras");
  Plants plants;
  // Inside the platform tree, its shared directory and its workspace (rcp.data), all of which
  // the repair walks.
  plants.plantIn(product.rcpHome, canary);
  plants.plantIn(product.rcp("eclipse/plugins"), canary);
  plants.plantIn(product.platformHome + "/shared", canary);
  plants.plantIn(product.platformHome + "/workspace", canary);
  // Inside the package's extras, at the top and below.
  plants.plantIn(extras, canary);
  plants.plantIn(extras + "/docs", canary);
  // The instance's extras from an earlier install: a link where the package has a file, and a
  // link where the package has a directory.
  ASSERT_EQ(::mkdir(installedExtras.c_str(), 0755), 0);
  ASSERT_EQ(::symlink(canary.path().c_str(), (installedExtras + "/readme.txt").c_str()), 0);
  ASSERT_EQ(::symlink(canary.directory().c_str(), (installedExtras + "/docs").c_str()), 0);

  const RunResult run = apply_scenario::patchapply({package.path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
  canary.expectUnchanged(static_cast<nlink_t>(1 + plants.hardLinks));
  EXPECT_EQ(namesIn(canary.directory()), std::vector<std::string>{"secret"})
      << "nothing added beside the canary";
  plants.expectStillLinks();

  // The merge copy reproduced the package's links as links and replaced the instance's link
  // by the package's file; the instance's directory link was not written through.
  for (const char* name : {"secret-link", "canary-dir-link"}) {
    const std::string copy = installedExtras + "/" + name;
    struct stat st {};
    ASSERT_EQ(::lstat(copy.c_str(), &st), 0) << copy;
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << copy;
  }
  struct stat readme {};
  ASSERT_EQ(::lstat((installedExtras + "/readme.txt").c_str(), &readme), 0);
  EXPECT_TRUE(S_ISREG(readme.st_mode));
  EXPECT_EQ(readFile(installedExtras + "/readme.txt"), readFile(extras + "/readme.txt"));
  EXPECT_EQ(linkTarget(installedExtras + "/docs"), canary.directory());
}

TEST_F(TreeLinks, SharedDirectoryAndWorkspaceThatAreLinksAreNotRepaired) {
  const Canary canary(kCanaryDirectory);
  const Product product(scratch_ / "Applications");
  const std::string shared = product.platformHome + "/shared";
  testing::removeTree(shared);
  ASSERT_EQ(::symlink(canary.directory().c_str(), shared.c_str()), 0);
  ASSERT_EQ(::symlink(canary.directory().c_str(), (product.platformHome + "/workspace").c_str()),
            0);

  const RunResult run =
      apply_scenario::patchapply({Package(scratch_ / "package").path, scratch_ / "Applications"});

  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  canary.expectUnchanged();
  EXPECT_EQ(linkTarget(shared), canary.directory());
}

// The repair walk by itself, on a long run of files that all need a change (the walk then
// stops looking at each entry first) with hard links to the canary among them.
TEST(TreeLinksWalk, HardLinksAmongFreshFilesAreLeftAlone) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  const Canary canary(kCanaryDirectory);
  testing::ScratchDirectory scratch("walk");
  const std::string tree = scratch / "tree";
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(testing::writeFile(tree + "/file-" + std::to_string(i), "x", 0600));
    if (i % 10 == 5) {
      ASSERT_EQ(::link(canary.path().c_str(), (tree + "/hard-" + std::to_string(i)).c_str()), 0);
    }
  }
  ASSERT_EQ(::symlink(canary.path().c_str(), (tree + "/link").c_str()), 0);
  ASSERT_EQ(::symlink(canary.directory().c_str(), (tree + "/dir-link").c_str()), 0);
  ASSERT_EQ(::setenv("USER", "alice", 1), 0);

  const bool repaired = InstallUtil::changeAttributesForDirectory(tree);

  ASSERT_EQ(::setenv("USER", "root", 1), 0);
  EXPECT_FALSE(repaired) << "the hard links did not get the standard attributes";
  canary.expectUnchanged(5);
  const apply_scenario::EntryState file = apply_scenario::stateOf(tree + "/file-39");
  EXPECT_EQ(file.owner, "alice");
  EXPECT_EQ(file.group, "admin");
  EXPECT_EQ(file.mode, 0775u);
}

// Alice, who may write a directory of the tree, swaps its entries for hard links to the canary
// (made beforehand; she only exchanges names) while the repair walks it, thousands of times: the
// walk changes only the inode it looked at, so the canary never changes. Once in the directory
// named, whose entries are changed through descriptors, and once in a directory below it that
// she keeps making need a change, which the walk takes over while it changes its entries.
class TreeLinksWalkSwap : public ::testing::TestWithParam<const char*> {};

TEST_P(TreeLinksWalkSwap, EntriesSwappedForHardLinksDuringTheWalk) {
  RCP_REQUIRE_SANDBOX();
  RCP_REQUIRE_ROOT();
  const Canary canary(kCanaryDirectory);
  testing::ScratchDirectory scratch("swap");
  const struct passwd* alice = ::getpwnam("alice");
  ASSERT_NE(alice, nullptr);
  const uid_t uid = alice->pw_uid;
  const gid_t gid = alice->pw_gid;
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  const std::string top = scratch / "tree", tree = top + GetParam(), stash = scratch / "stash";
  for (const std::string& dir : {top, tree, stash}) {
    if (::access(dir.c_str(), F_OK) == 0) continue;  // the directory named is the one swapped in
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.c_str(), uid, gid), 0);
  }
  constexpr int kNames = 1;
  const auto entry = [&](int k) { return tree + "/file-" + std::to_string(k % kNames); };
  const auto stashed = [&](int k) { return stash + "/canary-" + std::to_string(k % kNames); };
  for (int k = 0; k < kNames; ++k) {
    ASSERT_TRUE(testing::writeFile(entry(k), "x", 0600));
    ASSERT_EQ(::link(canary.path().c_str(), stashed(k).c_str()), 0);
  }
  // Each exchange puts the canary at the entry's name or takes it back; the file that is there
  // in between is made to need a change again.
  Racer swapper(uid, gid, [&, k = 0](Racer& racer) mutable {
    racer.exchange(stashed(k), entry(k));
    racer.exchange(stashed(k), entry(k));
    ::chmod(entry(k).c_str(), 0600);
    if (tree != top) ::chmod(tree.c_str(), 0755);
    ++k;
  });
  ASSERT_EQ(::setenv("USER", "alice", 1), 0);
  int walks = 0;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < end; ++walks) {
    InstallUtil::changeAttributesForDirectory(top);
  }
  ASSERT_EQ(::setenv("USER", "root", 1), 0);
  EXPECT_TRUE(swapper.stop()) << "the swapper could not run as alice";
  EXPECT_GT(swapper.changes(), 0) << "none of her exchanges took place";
  EXPECT_GT(walks, 1000);
  testing::removeTree(stash);
  testing::removeTree(top);
  canary.expectUnchanged();
}

INSTANTIATE_TEST_SUITE_P(Where, TreeLinksWalkSwap, ::testing::Values("", "/below"));

}  // namespace
}  // namespace rcpinstall::faults
