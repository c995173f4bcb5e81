#include "os/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(AtomicFileTest, ReadWholeFileOnlyReadsRegularFiles) {
  ScratchDirectory dir("atomic");
  std::string bytes("a\0b\nlast", 8);
  ASSERT_TRUE(testing::writeFile(dir / "f", bytes));
  EXPECT_EQ(readWholeFile(dir / "f"), bytes);
  ASSERT_TRUE(testing::writeFile(dir / "empty", ""));
  EXPECT_EQ(readWholeFile(dir / "empty"), "");
  ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(readWholeFile(dir / "link"), bytes);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readWholeFile(dir / "fifo"), std::nullopt);  // and does not block
  EXPECT_EQ(readWholeFile(dir.path()), std::nullopt);
  EXPECT_EQ(readWholeFile(dir / "missing"), std::nullopt);
}

TEST(AtomicFileTest, NewFileGets0644AndNoTemporaryRemains) {
  ScratchDirectory dir("atomic");
  mode_t oldMask = ::umask(077);
  ASSERT_TRUE(replaceFileAtomically(dir / "new.plist", "one"));
  ::umask(oldMask);
  EXPECT_EQ(testing::readFile(dir / "new.plist"), "one");
  EXPECT_EQ(modeOf(dir / "new.plist"), 0644u);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"new.plist"});
}

TEST(AtomicFileTest, ReplacementKeepsModeAndOwner) {
  ScratchDirectory dir("atomic");
  const std::string target = dir / "kept";
  ASSERT_TRUE(testing::writeFile(target, "old", 0640));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(target.c_str(), 1234, 5678), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(target.c_str(), &before), 0);

  ASSERT_TRUE(replaceFileAtomically(target, "new contents"));
  struct stat after {};
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_EQ(testing::readFile(target), "new contents");
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the old one's place
  if (::geteuid() == 0) {
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, 5678u);
  }
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"kept"});
}

TEST(AtomicFileTest, GivenAttributesWin) {
  ScratchDirectory dir("atomic");
  const std::string target = dir / "f";
  ASSERT_TRUE(testing::writeFile(target, "old", 0644));
  ReplacementAttributes attributes;
  attributes.mode = 0600;
  if (::geteuid() == 0) attributes.owner = 4321;
  ASSERT_TRUE(replaceFileAtomically(target, "x", attributes));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (::geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 4321u);
  }
}

TEST(AtomicFileTest, LinkAtTargetIsReplacedNotFollowed) {
  ScratchDirectory dir("atomic");
  ASSERT_TRUE(testing::writeFile(dir / "victim", "untouched", 0600));
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  ASSERT_TRUE(replaceFileAtomically(dir / "link", "new"));
  EXPECT_EQ(testing::readFile(dir / "victim"), "untouched");
  EXPECT_EQ(testing::readFile(dir / "link"), "new");
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(AtomicFileTest, FailureLeavesOldFileAndNoTemporary) {
  ScratchDirectory dir("atomic");
  // A directory at the target: the rename fails after the temporary file was written.
  ASSERT_EQ(::mkdir((dir / "isdir").c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(dir / "isdir/inner", "kept"));
  EXPECT_FALSE(replaceFileAtomically(dir / "isdir", "new"));
  EXPECT_EQ(testing::readFile(dir / "isdir/inner"), "kept");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"isdir"});

  // A missing directory.
  EXPECT_FALSE(replaceFileAtomically(dir / "absent/f", "new"));
  // Nothing to name.
  EXPECT_FALSE(replaceFileAtomically("", "new"));
  EXPECT_FALSE(replaceFileAtomically(dir / "..", "new"));

  // A read-only directory stops an ordinary user (root is not stopped by modes).
  if (::geteuid() != 0) {
    ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0755), 0);
    ASSERT_TRUE(testing::writeFile(dir / "ro/f", "old"));
    ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
    EXPECT_FALSE(replaceFileAtomically(dir / "ro/f", "new"));
    EXPECT_EQ(testing::readFile(dir / "ro/f"), "old");
    EXPECT_EQ(namesIn(dir / "ro"), std::vector<std::string>{"f"});
    ::chmod((dir / "ro").c_str(), 0755);
  }
}

TEST(AtomicFileTest, WriteErrorLeavesOldFileAndNoTemporary) {
  ScratchDirectory dir("atomic");
  const std::string target = dir / "f";
  ASSERT_TRUE(testing::writeFile(target, "old"));
  // A file-size limit makes write(2) fail part-way, as a full disk would.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = replaceFileAtomically(target, std::string(100000, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(testing::readFile(target), "old");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"f"});

  std::string big(3 << 20, 'y');
  ASSERT_TRUE(replaceFileAtomically(target, big));
  EXPECT_EQ(testing::readFile(target), big);
}

}  // namespace
}  // namespace rcpinstall::os
