#include "os/file_system.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "tests/support/testing.h"

namespace rcpinstall::os::FileSystem {
namespace {

using rcpinstall::testing::readFile;
using rcpinstall::testing::ScratchDirectory;
using rcpinstall::testing::writeFile;

// A tree as rows: 'f' a file with the text, 'd' a directory, 'l' a link to the text.
struct Node {
  std::string path;
  char kind;
  std::string data;
};
using Tree = std::vector<Node>;

void build(const std::string& root, const Tree& nodes) {
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0) << root;
  for (const Node& node : nodes) {
    std::string path = root + "/" + node.path;
    if (node.kind == 'd') {
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    } else if (node.kind == 'l') {
      ASSERT_EQ(symlink(node.data.c_str(), path.c_str()), 0) << path;
    } else {
      ASSERT_TRUE(writeFile(path, node.data)) << path;
    }
  }
}

// Relative path -> "d", "f:<content>" or "l:<target>", links not followed.
std::map<std::string, std::string> snapshot(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> entries;
  struct stat status;
  if (lstat(root.c_str(), &status) != 0) return entries;
  if (!S_ISDIR(status.st_mode)) {
    entries["."] = S_ISLNK(status.st_mode) ? "l:" + fs::read_symlink(root).string()
                                           : "f:" + readFile(root).value_or("?");
    return entries;
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = entry.path().string().substr(root.size() + 1);
    if (entry.is_symlink()) {
      entries[relative] = "l:" + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      entries[relative] = "d";
    } else if (entry.is_regular_file()) {
      entries[relative] = "f:" + readFile(entry.path().string()).value_or("?");
    } else {
      entries[relative] = "other";
    }
  }
  return entries;
}

struct stat statusOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string currentUser() {
  return getpwuid(geteuid())->pw_name;
}
std::string currentGroup() {
  return getgrgid(getegid())->gr_name;
}

TEST(FileSystemTest, CopyReproducesTreeWithLinksModesAndTimes) {
  ScratchDirectory scratch("copy");
  const std::string source = scratch / "source";
  const std::string outside = scratch / "outside";
  ASSERT_TRUE(writeFile(outside, "not to be copied"));
  build(source, {{"a.txt", 'f', "alpha"},
                 {"sub", 'd', ""},
                 {"sub/deep", 'd', ""},
                 {"sub/deep/empty", 'f', ""},
                 {"sub/to-a", 'l', "../a.txt"},
                 {"sub/out", 'l', outside},
                 {"sub/dangling", 'l', "nowhere"}});
  // Large enough for several kernel copy rounds, with content that shows any misplaced block.
  std::string large(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(7);
  for (char& c : large) c = static_cast<char>(random());
  ASSERT_TRUE(writeFile(source + "/sub/large.bin", large, 0755));
  ASSERT_EQ(chmod((source + "/a.txt").c_str(), 0640), 0);
  ASSERT_EQ(chmod((source + "/sub/deep").c_str(), 0550), 0);
  ASSERT_EQ(mkfifo((source + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(chmod((source + "/pipe").c_str(), 0620), 0);
  const struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (source + "/a.txt").c_str(), times, 0), 0);

  const std::string copy = scratch / "copy";
  ASSERT_TRUE(copyItem(source, copy));
  chmod((source + "/sub/deep").c_str(), 0755);
  chmod((copy + "/sub/deep").c_str(), 0755);

  const auto copied = snapshot(copy);
  EXPECT_EQ(copied, snapshot(source));
  EXPECT_EQ(copied.at("sub/out"), "l:" + outside);
  EXPECT_EQ(statusOf(copy + "/a.txt").st_mode & 07777, 0640u);
  EXPECT_EQ(statusOf(copy + "/a.txt").st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(statusOf(copy + "/sub/large.bin").st_mode & 07777, 0755u);
  EXPECT_TRUE(S_ISFIFO(statusOf(copy + "/pipe").st_mode));
  EXPECT_EQ(statusOf(copy + "/pipe").st_mode & 07777, 0620u);

  // A single file and a single link copy as themselves.
  ASSERT_TRUE(copyItem(source + "/a.txt", scratch / "a-copy"));
  EXPECT_EQ(readFile(scratch / "a-copy"), "alpha");
  ASSERT_TRUE(copyItem(source + "/sub/out", scratch / "link-copy"));
  EXPECT_EQ(snapshot(scratch / "link-copy").at("."), "l:" + outside);
}

TEST(FileSystemTest, CopyNeverOverwritesAndFailsOnMissingSource) {
  ScratchDirectory scratch("copy-refuse");
  ASSERT_TRUE(writeFile(scratch / "source", "new"));
  ASSERT_TRUE(writeFile(scratch / "file", "old"));
  ASSERT_EQ(mkdir((scratch / "dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink("missing-target", (scratch / "dangling").c_str()), 0);
  for (const char* existing : {"file", "dir", "dangling", "dir/"}) {
    EXPECT_FALSE(copyItem(scratch / "source", scratch / existing)) << existing;
  }
  EXPECT_EQ(readFile(scratch / "file"), "old");
  EXPECT_FALSE(entryExists(scratch / "missing-target"));
  EXPECT_FALSE(copyItem(scratch / "no-such-source", scratch / "new"));
  EXPECT_FALSE(entryExists(scratch / "new"));
}

TEST(FileSystemTest, CopyIntoItselfEnds) {
  ScratchDirectory scratch("copy-self");
  const std::string tree = scratch / "tree";
  build(tree, {{"a", 'f', "1"}, {"sub", 'd', ""}, {"sub/b", 'f', "2"}});
  EXPECT_FALSE(copyItem(tree, tree + "/sub/copy"));
  auto copy = snapshot(tree + "/sub/copy");
  EXPECT_EQ(copy["a"], "f:1");
  EXPECT_EQ(copy["sub/b"], "f:2");
  EXPECT_EQ(copy.count("sub/copy"), 0u);
}

TEST(FileSystemTest, CopyResolvingLinksHoldsNoLinkAndNamesWhatItLeftOut) {
  ScratchDirectory scratch("copy-resolving");
  const std::string outside = scratch / "outside";
  build(outside, {{"shared", 'f', "s"}});
  const std::string tree = scratch / "tree";
  build(tree, {{"a", 'f', "1"},
               {"to-a", 'l', "a"},
               {"sub", 'd', ""},
               {"sub/up", 'l', ".."},
               {"out", 'l', outside},
               {"dangling", 'l', "nowhere"}});
  ASSERT_EQ(mkfifo((tree + "/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink(tree.c_str(), (scratch / "top").c_str()), 0);

  const ResolvedCopy made = copyResolvingLinks(scratch / "top", scratch / "copy");

  EXPECT_TRUE(made.made) << made.error;
  const std::map<std::string, std::string> expected = {
      {"a", "f:1"}, {"to-a", "f:1"}, {"sub", "d"}, {"out", "d"}, {"out/shared", "f:s"}};
  EXPECT_EQ(snapshot(scratch / "copy"), expected);
  std::map<std::string, std::string> skipped;
  for (const SkippedEntry& entry : made.skipped) skipped[entry.path] = entry.reason;
  EXPECT_EQ(skipped.size(), 3u);
  EXPECT_NE(skipped["sub/up"].find("a directory that holds it"), std::string::npos);
  EXPECT_NE(skipped["dangling"].find("leads nowhere"), std::string::npos);
  EXPECT_NE(skipped["pipe"].find("a FIFO"), std::string::npos);
  EXPECT_FALSE(copyResolvingLinks(scratch / "nothing", scratch / "copy2").made);
}

TEST(FileSystemTest, CopyKeepsSetUserIdOnlyForOwnFiles) {
  RCP_REQUIRE_ROOT();
  ScratchDirectory scratch("copy-setuid");
  ASSERT_TRUE(writeFile(scratch / "own", "x", 0755));
  ASSERT_TRUE(writeFile(scratch / "foreign", "x", 0755));
  ASSERT_EQ(chmod((scratch / "own").c_str(), 04755), 0);
  ASSERT_EQ(chown((scratch / "foreign").c_str(), 4321, 4321), 0);
  ASSERT_EQ(chmod((scratch / "foreign").c_str(), 06755), 0);
  ASSERT_TRUE(copyItem(scratch / "own", scratch / "own-copy"));
  ASSERT_TRUE(copyItem(scratch / "foreign", scratch / "foreign-copy"));
  EXPECT_EQ(statusOf(scratch / "own-copy").st_mode & 07777, 04755u);
  EXPECT_EQ(statusOf(scratch / "foreign-copy").st_mode & 07777, 0755u);
  EXPECT_EQ(statusOf(scratch / "foreign-copy").st_uid, 0u);
}

TEST(FileSystemTest, RemoveNeverFollowsLinks) {
  ScratchDirectory scratch("remove");
  const std::string outside = scratch / "outside";
  build(outside, {{"keep", 'f', "kept"}});
  const std::string tree = scratch / "tree";
  build(tree, {{"sub", 'd', ""},
               {"sub/file", 'f', "x"},
               {"sub/to-outside-dir", 'l', outside},
               {"sub/to-outside-file", 'l', outside + "/keep"},
               {"locked", 'd', ""},
               {"locked/file", 'f', "y"}});
  ASSERT_EQ(symlink(outside.c_str(), (scratch / "top-link").c_str()), 0);

  // A trailing "/" still names the link, not what it points to.
  EXPECT_TRUE(removeItem(scratch / "top-link/"));
  EXPECT_FALSE(entryExists(scratch / "top-link"));
  EXPECT_EQ(readFile(outside + "/keep"), "kept");

  // Root removes entries of a read-only directory too.
  if (geteuid() == 0) {
    ASSERT_EQ(chmod((tree + "/locked").c_str(), 0555), 0);
  }
  EXPECT_TRUE(removeItem(tree));
  EXPECT_FALSE(entryExists(tree));
  EXPECT_EQ(readFile(outside + "/keep"), "kept");

  EXPECT_FALSE(removeItem(scratch / "missing"));
  ASSERT_TRUE(writeFile(scratch / "file", "x"));
  EXPECT_TRUE(removeItem(scratch / "file"));
  EXPECT_FALSE(entryExists(scratch / "file"));
}

TEST(FileSystemTest, MergeRules) {
  struct Row {
    const char* name;
    Tree source;
    std::optional<Tree> destination;  // none: the destination does not exist
    std::map<std::string, std::string> expected;
    bool result;
  } rows[] = {
      {"missing destination gets a full copy",
       {{"a", 'f', "1"}, {"d", 'd', ""}, {"d/b", 'f', "2"}, {"l", 'l', "a"}},
       std::nullopt,
       {{"a", "f:1"}, {"d", "d"}, {"d/b", "f:2"}, {"l", "l:a"}},
       true},
      {"file of the same name replaced, destination-only entries kept",
       {{"a", 'f', "new"}},
       Tree{{"a", 'f', "old"}, {"mine", 'f', "m"}, {"dir", 'd', ""}},
       {{"a", "f:new"}, {"mine", "f:m"}, {"dir", "d"}},
       true},
      {"directory in the destination replaced by the source's file",
       {{"x", 'f', "file"}},
       Tree{{"x", 'd', ""}, {"x/inner", 'f', "i"}},
       {{"x", "f:file"}},
       true},
      {"file in the destination where the source has a directory stays",
       {{"x", 'd', ""}, {"x/y", 'f', "1"}},
       Tree{{"x", 'f', "file"}},
       {{"x", "f:file"}},
       false},
      {"directories merge at depth",
       {{"d", 'd', ""}, {"d/e", 'd', ""}, {"d/e/a", 'f', "1"}},
       Tree{{"d", 'd', ""}, {"d/e", 'd', ""}, {"d/e/b", 'f', "2"}, {"d/c", 'f', "3"}},
       {{"d", "d"}, {"d/e", "d"}, {"d/e/a", "f:1"}, {"d/e/b", "f:2"}, {"d/c", "f:3"}},
       true},
      {"missing destination directory copied inside a merge",
       {{"d", 'd', ""}, {"d/a", 'f', "1"}},
       Tree{{"other", 'f', "o"}},
       {{"d", "d"}, {"d/a", "f:1"}, {"other", "f:o"}},
       true},
      {"source link reproduced, destination file replaced by it",
       {{"target", 'f', "t"}, {"l", 'l', "target"}},
       Tree{{"l", 'f', "old"}},
       {{"target", "f:t"}, {"l", "l:target"}},
       true},
      {"source link to a directory merges what it points to",
       {{"real", 'd', ""}, {"real/a", 'f', "1"}, {"via", 'l', "real"}},
       Tree{{"via", 'd', ""}, {"via/b", 'f', "2"}},
       {{"real", "d"}, {"real/a", "f:1"}, {"via", "d"}, {"via/a", "f:1"}, {"via/b", "f:2"}},
       true},
      {"dangling source link copied as a link",
       {{"l", 'l', "nowhere"}},
       Tree{{"l", 'd', ""}, {"l/x", 'f', "x"}},
       {{"l", "l:nowhere"}},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDirectory scratch("merge");
    const std::string source = scratch / "source";
    const std::string destination = scratch / "destination";
    build(source, row.source);
    if (row.destination) build(destination, *row.destination);
    EXPECT_EQ(mergeItem(source, destination), row.result);
    EXPECT_EQ(snapshot(destination), row.expected);
  }
}

TEST(FileSystemTest, MergeNeverWritesThroughDestinationLinks) {
  ScratchDirectory scratch("merge-links");
  const std::string outside = scratch / "outside";
  build(outside, {{"victim", 'f', "precious"}});
  const std::string source = scratch / "source";
  build(source, {{"dir", 'd', ""}, {"dir/victim", 'f', "evil"}, {"file", 'f', "new"}});
  const std::string destination = scratch / "destination";
  build(destination, {{"dir", 'l', outside}, {"file", 'l', outside + "/victim"}});

  EXPECT_FALSE(mergeItem(source, destination));
  EXPECT_EQ(readFile(outside + "/victim"), "precious");
  auto merged = snapshot(destination);
  EXPECT_EQ(merged["dir"], "l:" + outside);  // left as it is
  EXPECT_EQ(merged["file"], "f:new");        // the link replaced, its target untouched

  // A destination that is itself a link is not merged into either, trailing "/" or not.
  ASSERT_EQ(symlink(outside.c_str(), (scratch / "top").c_str()), 0);
  EXPECT_FALSE(mergeItem(source + "/dir", scratch / "top"));
  EXPECT_FALSE(mergeItem(source + "/dir", scratch / "top/"));
  EXPECT_EQ(readFile(outside + "/victim"), "precious");
}

TEST(FileSystemTest, MergeOfAFileOrOfItselfLosesNothing) {
  ScratchDirectory scratch("merge-self");
  const std::string tree = scratch / "tree";
  build(tree, {{"a", 'f', "1"}, {"d", 'd', ""}, {"d/b", 'f', "2"}});
  const auto before = snapshot(tree);
  EXPECT_TRUE(mergeItem(tree, tree));
  EXPECT_TRUE(mergeItem(tree + "/d", tree + "/d/"));
  ASSERT_EQ(symlink("tree", (scratch / "alias").c_str()), 0);
  EXPECT_TRUE(mergeItem(scratch / "alias", tree));
  EXPECT_EQ(snapshot(tree), before);

  // Only directories are merged: a file source leaves an existing destination alone.
  ASSERT_TRUE(writeFile(scratch / "single", "s"));
  EXPECT_FALSE(mergeItem(scratch / "single", tree));
  EXPECT_FALSE(mergeItem(scratch / "single", tree + "/a"));
  EXPECT_EQ(snapshot(tree), before);
  EXPECT_FALSE(mergeItem(scratch / "missing", tree));
  EXPECT_EQ(snapshot(tree), before);
}

TEST(FileSystemTest, AttributeWalkChangesEntriesBelowButNeverThroughLinks) {
  ScratchDirectory scratch("attributes");
  const std::string outside = scratch / "outside";
  ASSERT_TRUE(writeFile(outside, "o", 0600));
  const std::string tree = scratch / "tree";
  build(tree, {{"a", 'f', "1"},
               {"d1", 'd', ""},
               {"d1/b", 'f', "2"},
               {"d1/d2", 'd', ""},
               {"d1/d2/d3", 'd', ""},
               {"d1/d2/d3/c", 'f', "3"},
               {"d1/link", 'l', outside}});
  ASSERT_EQ(chmod(tree.c_str(), 0700), 0);
  const bool root = geteuid() == 0;
  if (root) {  // start from another owner so the walk has to change it
    for (const char* entry : {"", "/a", "/d1", "/d1/b", "/d1/d2", "/d1/d2/d3", "/d1/d2/d3/c"})
      ASSERT_EQ(chown((tree + entry).c_str(), 4321, 4321), 0);
    ASSERT_EQ(lchown((tree + "/d1/link").c_str(), 4321, 4321), 0);
    ASSERT_EQ(chown(outside.c_str(), 4321, 4321), 0);
  }
  const Attributes attributes{currentUser(), currentGroup(), 0775};
  EXPECT_TRUE(setAttributesBelow(tree, attributes));

  for (const char* entry : {"/a", "/d1", "/d1/b", "/d1/d2", "/d1/d2/d3", "/d1/d2/d3/c"}) {
    struct stat status = statusOf(tree + entry);
    EXPECT_EQ(status.st_mode & 07777, 0775u) << entry;
    EXPECT_EQ(status.st_uid, geteuid()) << entry;
    EXPECT_EQ(status.st_gid, getegid()) << entry;
  }
  EXPECT_EQ(statusOf(tree).st_mode & 07777, 0700u);  // the directory itself is not changed
  EXPECT_EQ(statusOf(tree + "/d1/link").st_uid, geteuid());
  EXPECT_EQ(statusOf(outside).st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(statusOf(tree).st_uid, 4321u);
    EXPECT_EQ(statusOf(outside).st_uid, 4321u);
  }
  // Already right: nothing to change, still a success.
  EXPECT_TRUE(setAttributesBelow(tree, attributes));
}

TEST(FileSystemTest, AttributeWalkOverLongRunsAndOverATreeAlreadyRight) {
  ScratchDirectory scratch("attributes-runs");
  const std::string outside = scratch / "outside";
  ASSERT_TRUE(writeFile(outside, "o", 0600));
  const std::string tree = scratch / "tree";
  Tree nodes{{"sub", 'd', ""}, {"right", 'd', ""}};
  for (int i = 0; i < 300; ++i) {
    std::string name = (i % 3 == 0 ? "sub/f" : "f") + std::to_string(i);
    // Links to the outside file among long runs of files that all need a change.
    nodes.push_back(i % 10 == 5 ? Node{name, 'l', outside} : Node{name, 'f', "x"});
    nodes.push_back({"right/f" + std::to_string(i), 'f', "x"});
  }
  build(tree, nodes);
  const bool root = geteuid() == 0;
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree))
    entries.push_back(entry.path().string());
  for (const std::string& entry : entries) {
    const bool right = entry.find("/right/") != std::string::npos;
    if (!std::filesystem::is_symlink(entry)) chmod(entry.c_str(), right ? 0775 : 0600);
    if (root && !right) {
      ASSERT_EQ(lchown(entry.c_str(), 4321, 4321), 0);
    }
  }
  if (root) {
    ASSERT_EQ(chown(outside.c_str(), 4321, 4321), 0);
  }
  const Attributes attributes{currentUser(), currentGroup(), 0775};
  ASSERT_TRUE(setAttributesBelow(tree, attributes));

  std::map<std::string, struct timespec> changed;
  for (const std::string& entry : entries) {
    struct stat status = statusOf(entry);
    if (!S_ISLNK(status.st_mode)) {
      EXPECT_EQ(status.st_mode & 07777, 0775u) << entry;
    }
    EXPECT_EQ(status.st_uid, geteuid()) << entry;
    EXPECT_EQ(status.st_gid, getegid()) << entry;
    changed[entry] = status.st_ctim;
  }
  EXPECT_EQ(statusOf(outside).st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(statusOf(outside).st_uid, 4321u);
  }

  // Nothing is changed, not even its change time, where everything is right already.
  usleep(50 * 1000);
  ASSERT_TRUE(setAttributesBelow(tree, attributes));
  for (const std::string& entry : entries) {
    struct stat status = statusOf(entry);
    EXPECT_EQ(status.st_ctim.tv_sec, changed[entry].tv_sec) << entry;
    EXPECT_EQ(status.st_ctim.tv_nsec, changed[entry].tv_nsec) << entry;
  }
}

TEST(FileSystemTest, AttributeWalkLeavesFilesWithOtherHardLinksAlone) {
  ScratchDirectory scratch("attributes-hard-links");
  const std::string outside = scratch / "outside";
  ASSERT_TRUE(writeFile(outside, "o", 0600));
  const std::string tree = scratch / "tree";
  Tree nodes;
  for (int i = 0; i < 40; ++i) nodes.push_back({"f" + std::to_string(i), 'f', "x"});
  build(tree, nodes);
  for (int i = 0; i < 40; ++i) chmod((tree + "/f" + std::to_string(i)).c_str(), 0600);
  // Among a long run of files that all need a change, where the walk goes fastest.
  for (int i : {3, 17, 33}) {
    ASSERT_EQ(link(outside.c_str(), (tree + "/hard" + std::to_string(i)).c_str()), 0);
  }

  EXPECT_FALSE(setAttributesBelow(tree, {std::nullopt, std::nullopt, 0775}));
  EXPECT_EQ(statusOf(outside).st_mode & 07777, 0600u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(statusOf(tree + "/f" + std::to_string(i)).st_mode & 07777, 0775u) << i;
  }
  // A linked file that is right already needs nothing and is no failure.
  ASSERT_EQ(chmod(outside.c_str(), 0775), 0);
  EXPECT_TRUE(setAttributesBelow(tree, {std::nullopt, std::nullopt, 0775}));
}

TEST(FileSystemTest, AttributeWalkRefusals) {
  ScratchDirectory scratch("attributes-refuse");
  const std::string tree = scratch / "tree";
  build(tree, {{"a", 'f', "1"}, {"d", 'd', ""}});
  ASSERT_EQ(mkdir((scratch / "empty").c_str(), 0700), 0);

  // An unknown group: false, but owner and mode are still applied everywhere.
  EXPECT_FALSE(setAttributesBelow(tree, {currentUser(), "no-such-group-rcp", 0770}));
  EXPECT_EQ(statusOf(tree + "/a").st_mode & 07777, 0770u);
  EXPECT_EQ(statusOf(tree + "/d").st_mode & 07777, 0770u);

  EXPECT_TRUE(setAttributesBelow(scratch / "empty", {std::nullopt, std::nullopt, 0775}));
  EXPECT_EQ(statusOf(scratch / "empty").st_mode & 07777, 0700u);
  EXPECT_FALSE(setAttributesBelow(scratch / "missing", {std::nullopt, std::nullopt, 0775}));
  EXPECT_FALSE(setAttributesBelow(tree + "/a", {std::nullopt, std::nullopt, 0775}));
  // The directory named is not entered through a link.
  ASSERT_EQ(symlink(tree.c_str(), (scratch / "alias").c_str()), 0);
  EXPECT_FALSE(setAttributesBelow(scratch / "alias", {std::nullopt, std::nullopt, 0700}));
  EXPECT_FALSE(setAttributesBelow(scratch / "alias/", {std::nullopt, std::nullopt, 0700}));
  EXPECT_EQ(statusOf(tree + "/a").st_mode & 07777, 0770u);
}

TEST(FileSystemTest, SingleEntryAttributesAndCreation) {
  ScratchDirectory scratch("create");
  const mode_t oldMask = umask(022);
  ASSERT_TRUE(createDirectory(scratch / "dir", {currentUser(), currentGroup(), 0775}));
  EXPECT_EQ(statusOf(scratch / "dir").st_mode & 07777, 0775u);  // not narrowed by the umask
  EXPECT_FALSE(createDirectory(scratch / "dir", {std::nullopt, std::nullopt, 0775}));
  EXPECT_FALSE(createDirectory(scratch / "other", {"no-such-user-rcp", std::nullopt, 0775}));
  EXPECT_FALSE(entryExists(scratch / "other"));

  ASSERT_TRUE(createFile(scratch / "file", "first", {std::nullopt, std::nullopt, 0664}));
  EXPECT_EQ(statusOf(scratch / "file").st_mode & 07777, 0664u);
  ASSERT_TRUE(createFile(scratch / "file", "2", {std::nullopt, std::nullopt, 0600}));
  EXPECT_EQ(readFile(scratch / "file"), "2");
  EXPECT_EQ(statusOf(scratch / "file").st_mode & 07777, 0600u);
  ASSERT_TRUE(createFile(scratch / "plain", "", {}));
  EXPECT_EQ(statusOf(scratch / "plain").st_mode & 07777, 0644u);
  umask(oldMask);

  // Neither a FIFO (which would block) nor a link is written through.
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(createFile(scratch / "fifo", "x", {}));
  ASSERT_EQ(symlink((scratch / "plain").c_str(), (scratch / "link").c_str()), 0);
  EXPECT_FALSE(createFile(scratch / "link", "x", {}));
  EXPECT_EQ(readFile(scratch / "plain"), "");

  // No mode through a link; the target keeps its own.
  EXPECT_TRUE(setAttributes(scratch / "link", {std::nullopt, std::nullopt, 0777}));
  EXPECT_EQ(statusOf(scratch / "plain").st_mode & 07777, 0644u);
  EXPECT_TRUE(setAttributes(scratch / "plain", {std::nullopt, std::nullopt, 0640}));
  EXPECT_EQ(statusOf(scratch / "plain").st_mode & 07777, 0640u);
  EXPECT_FALSE(setAttributes(scratch / "missing", {std::nullopt, std::nullopt, 0640}));
}

}  // namespace
}  // namespace rcpinstall::os::FileSystem
