#include "os/shared_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

struct Planted {
  const char* what;
  std::function<void(const ScratchDirectory&, const std::string&)> plant;
};

// What someone else may have left at a fixed name in /tmp. "victim" is a file elsewhere that
// must come through untouched.
std::vector<Planted> plantings() {
  return {
      {"nothing", [](const ScratchDirectory&, const std::string&) {}},
      {"regular file",
       [](const ScratchDirectory&, const std::string& at) {
         ASSERT_TRUE(testing::writeFile(at, "earlier run\n"));
       }},
      {"link to a file",
       [](const ScratchDirectory& dir, const std::string& at) {
         ASSERT_EQ(::symlink((dir / "victim").c_str(), at.c_str()), 0);
       }},
      {"dangling link",
       [](const ScratchDirectory& dir, const std::string& at) {
         ASSERT_EQ(::symlink((dir / "nowhere").c_str(), at.c_str()), 0);
       }},
      {"fifo", [](const ScratchDirectory&,
                  const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0); }},
      {"hard link to a file",
       [](const ScratchDirectory& dir, const std::string& at) {
         ASSERT_EQ(::link((dir / "victim").c_str(), at.c_str()), 0);
       }},
      {"directory tree with a link out",
       [](const ScratchDirectory& dir, const std::string& at) {
         ASSERT_EQ(::mkdir(at.c_str(), 0755), 0);
         ASSERT_EQ(::mkdir((at + "/sub").c_str(), 0755), 0);
         ASSERT_TRUE(testing::writeFile(at + "/sub/f", "x"));
         ASSERT_EQ(::symlink((dir / "outside").c_str(), (at + "/sub/out").c_str()), 0);
       }},
  };
}

void prepareVictims(const ScratchDirectory& dir) {
  ASSERT_TRUE(testing::writeFile(dir / "victim", "precious", 0600));
  ASSERT_EQ(::mkdir((dir / "outside").c_str(), 0755), 0);
  ASSERT_TRUE(testing::writeFile(dir / "outside/keep", "kept"));
}

void expectVictimsUntouched(const ScratchDirectory& dir, const char* what) {
  EXPECT_EQ(testing::readFile(dir / "victim"), "precious") << what;
  EXPECT_EQ(testing::readFile(dir / "outside/keep"), "kept") << what;
}

TEST(SharedFilesTest, OpenTruncatedAcceptsOnlyARegularFileOfItsOwn) {
  for (const Planted& row : plantings()) {
    ScratchDirectory dir("shared");
    prepareVictims(dir);
    const std::string at = dir / "install_trace.log";
    row.plant(dir, at);
    const std::string what = row.what;
    // A FIFO with a reader: the open itself would succeed, the descriptor check refuses it.
    int reader = what == "fifo" ? ::open(at.c_str(), O_RDONLY | O_NONBLOCK) : -1;

    int fd = openRegularFileTruncated(at);
    const bool accepted = what == "nothing" || what == "regular file";
    if (accepted) {
      ASSERT_GE(fd, 0) << what;
      ASSERT_EQ(::write(fd, "new\n", 4), 4);
      EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
      ::close(fd);
      EXPECT_EQ(testing::readFile(at), "new\n") << what;
    } else {
      EXPECT_EQ(fd, -1) << what;
      if (fd >= 0) ::close(fd);
    }
    if (reader >= 0) ::close(reader);
    expectVictimsUntouched(dir, what.c_str());
  }
}

TEST(SharedFilesTest, CreateFreshFileReplacesWhateverWasThere) {
  const bool root = ::geteuid() == 0;
  for (const Planted& row : plantings()) {
    ScratchDirectory dir("shared");
    prepareVictims(dir);
    const std::string at = dir / "Orrery.hotfix.error";
    row.plant(dir, at);

    std::optional<uid_t> owner = root ? std::optional<uid_t>(1234) : std::nullopt;
    std::optional<gid_t> group = root ? std::optional<gid_t>(5678) : std::nullopt;
    if (std::string(row.what).starts_with("directory")) {
      EXPECT_FALSE(createFreshFile(at, 0777, owner, group, "marker"));
      EXPECT_EQ(testing::readFile(at + "/sub/f"), "x") << "a directory stays whole";
      expectVictimsUntouched(dir, row.what);
      continue;
    }
    ASSERT_TRUE(createFreshFile(at, 0777, owner, group, "marker")) << row.what;
    struct stat st {};
    ASSERT_EQ(::lstat(at.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << row.what;
    EXPECT_EQ(st.st_mode & 07777, 0777u) << row.what;
    EXPECT_EQ(st.st_nlink, 1u) << row.what;
    if (root) {
      EXPECT_EQ(st.st_uid, 1234u);
      EXPECT_EQ(st.st_gid, 5678u);
    }
    EXPECT_EQ(testing::readFile(at), "marker") << row.what;
    expectVictimsUntouched(dir, row.what);
  }
}

TEST(SharedFilesTest, CreateFreshFileFailsWithoutLeavingAFile) {
  ScratchDirectory dir("shared");
  EXPECT_FALSE(createFreshFile(dir / "missing/f", 0644, std::nullopt, std::nullopt));
  EXPECT_FALSE(createFreshFile("", 0644, std::nullopt, std::nullopt));
  if (::geteuid() != 0) {
    // An ordinary user cannot give the file away: the file is not left behind half-made.
    EXPECT_FALSE(createFreshFile(dir / "f", 0644, 0, std::nullopt, "x"));
    EXPECT_EQ(::access((dir / "f").c_str(), F_OK), -1);
  }
}

}  // namespace
}  // namespace rcpinstall::os
