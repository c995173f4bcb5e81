#include "os/directory_loan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

std::string aclOf(const std::string& path) {
  char buffer[256];
  const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
  return size < 0 ? std::string("none") : std::string(buffer, static_cast<size_t>(size));
}

// A loan lets the account in and keeps root's entries; returning it, also after a second loan
// made over one a stopped run left, gives back mode and list exactly, with or without a list
// of the directory's own before.
TEST(DirectoryLoan, ReturnsTheDirectoryAsItWas) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (records of the trusted namespace)";
  for (const bool ownList : {false, true}) {
    SCOPED_TRACE(ownList);
    testing::ScratchDirectory scratch("loan", 0750);
    const std::string dir = scratch.path();
    if (ownList && std::system(("setfacl -m g:daemon:rx '" + dir + "'").c_str()) != 0) {
      GTEST_SKIP() << "setfacl (Debian package acl) is needed";
    }
    struct stat before {};
    ASSERT_EQ(::stat(dir.c_str(), &before), 0);
    const std::string list = aclOf(dir);
    if (!lendDirectory(dir, 4242)) GTEST_SKIP() << "no access-control lists here";
    ASSERT_TRUE(lendDirectory(dir, 4242));  // over the loan a stopped run left
    struct stat lent {};
    ASSERT_EQ(::stat(dir.c_str(), &lent), 0);
    EXPECT_EQ(lent.st_mode & 01000, 01000u);
    EXPECT_NE(aclOf(dir).find(std::string("\x02\x00\x07\x00\x92\x10", 6)), std::string::npos);
    EXPECT_TRUE(rootRecord(dir, "lent").has_value());
    ASSERT_TRUE(returnLentDirectory(dir));
    struct stat after {};
    ASSERT_EQ(::stat(dir.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(aclOf(dir), list);
    EXPECT_FALSE(rootRecord(dir, "lent").has_value());
    EXPECT_TRUE(returnLentDirectory(dir));
  }
}

}  // namespace
}  // namespace rcpinstall::os
