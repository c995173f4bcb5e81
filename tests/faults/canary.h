// A root-owned file with known content, owner and mode that no tool may change: fault
// scenarios point links, hard links and planted names at it and check it afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/testing.h"

namespace rcpinstall::faults {

class Canary {
 public:
  // The canary lives in a root-only directory (0700) of its own. /root is another file system
  // than /tmp; a canary in /tmp (the default for hard links, which cannot cross file systems)
  // sits in /tmp/.canary-<tag>.
  explicit Canary(const std::string& directory = "/root/canary")
      : directory_(directory), path_(directory + "/secret") {
    testing::removeTree(directory_);
    EXPECT_EQ(::mkdir(directory_.c_str(), 0700), 0) << directory_;
    EXPECT_TRUE(testing::writeFile(path_, kContent, 0600));
    EXPECT_EQ(::chown(path_.c_str(), 0, 0), 0);
    EXPECT_EQ(::chmod(path_.c_str(), 0600), 0);
    struct stat st {};
    EXPECT_EQ(::lstat(path_.c_str(), &st), 0);
    inode_ = st.st_ino;
    mtime_ = st.st_mtim;
  }
  ~Canary() { testing::removeTree(directory_); }
  Canary(const Canary&) = delete;
  Canary& operator=(const Canary&) = delete;

  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }

  // Content, owner, group, mode, inode and modification time as made; nothing else in its
  // directory. `links` is the link count expected (more when a test made hard links to it).
  void expectUnchanged(nlink_t links = 1) const {
    struct stat st {};
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0) << "the canary is gone: " << path_;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path_;
    EXPECT_EQ(st.st_uid, 0u) << path_;
    EXPECT_EQ(st.st_gid, 0u) << path_;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path_;
    EXPECT_EQ(st.st_ino, inode_) << path_;
    EXPECT_EQ(st.st_nlink, links) << path_;
    EXPECT_EQ(st.st_mtim.tv_sec, mtime_.tv_sec) << path_;
    EXPECT_EQ(st.st_mtim.tv_nsec, mtime_.tv_nsec) << path_;
    EXPECT_EQ(testing::readFile(path_).value_or("<unreadable>"), kContent) << path_;
    struct stat dir {};
    ASSERT_EQ(::lstat(directory_.c_str(), &dir), 0);
    EXPECT_EQ(dir.st_uid, 0u);
    EXPECT_EQ(dir.st_mode & 07777, 0700u);
  }

  static constexpr const char* kContent = "canary: root only, never to be changed\n";

 private:
  std::string directory_;
  std::string path_;
  ino_t inode_ = 0;
  struct timespec mtime_ {};
};

}  // namespace rcpinstall::faults
