#include "os/path.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace rcpinstall::os {
namespace {

TEST(PathTest, AppendComponent) {
  struct Row {
    const char* base;
    const char* component;
    const char* expected;
  } rows[] = {
      {"/tmp", "scratch.tiff", "/tmp/scratch.tiff"},
      {"/tmp/", "scratch", "/tmp/scratch"},
      {"/", "tmp", "/tmp"},
      {"", "scratch.tiff", "scratch.tiff"},
      {"/a", "/b", "/a/b"},
      {"/a//", "b", "/a/b"},
      {"/a/b", "../c", "/a/b/../c"},  // never normalised
      {"/a", "", "/a"},
      {"rel", "x y", "rel/x y"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(appendComponent(std::string(row.base), row.component), row.expected)
        << row.base << " + " << row.component;
    EXPECT_EQ(appendComponent(row.base, row.component), row.expected);
  }
  EXPECT_EQ(appendComponent(std::optional<std::string>(), "x"), std::nullopt);
  EXPECT_EQ(appendComponent(std::optional<std::string>("/a"), "x"), "/a/x");
}

TEST(PathTest, LastComponentAndParent) {
  struct Row {
    const char* path;
    const char* parent;
    const char* last;
  } rows[] = {
      {"/a/b", "/a", "b"}, {"/a/b/", "/a", "b"}, {"/a", "/", "a"},
      {"/", "/", "/"},     {"a", "", "a"},       {"a/b", "a", "b"},
      {"", "", ""},        {"/a//b", "/a", "b"}, {"/a/../b", "/a/..", "b"},
      {"//", "/", "/"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(deletingLastComponent(row.path), row.parent) << row.path;
    EXPECT_EQ(lastComponent(row.path), row.last) << row.path;
  }
}

TEST(PathTest, Components) {
  using V = std::vector<std::string>;
  EXPECT_EQ(components("/a/b"), (V{"/", "a", "b"}));
  EXPECT_EQ(components("a/b/"), (V{"a", "b", "/"}));
  EXPECT_EQ(components("/tmp/scratch/"), (V{"/", "tmp", "scratch", "/"}));
  EXPECT_EQ(components("/"), (V{"/"}));
  EXPECT_EQ(components("a//b"), (V{"a", "b"}));
  EXPECT_EQ(components("/x:y/b"), (V{"/", "x:y", "b"}));
  EXPECT_EQ(components(""), V{});
}

TEST(PathTest, ExpandTildeUsesHome) {
  const char* saved = std::getenv("HOME");
  std::string previous = saved ? saved : "";
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(expandTilde("~"), "/home/someone");
  EXPECT_EQ(expandTilde("~/Library/x.plist"), "/home/someone/Library/x.plist");
  EXPECT_EQ(expandTilde("~other/x"), "~other/x");
  EXPECT_EQ(expandTilde("/a/~/b"), "/a/~/b");
  EXPECT_EQ(homeDirectory(), "/home/someone");
  ::unsetenv("HOME");
  EXPECT_FALSE(homeDirectory().empty());  // from the password database
  if (saved) ::setenv("HOME", previous.c_str(), 1);
}

}  // namespace
}  // namespace rcpinstall::os
