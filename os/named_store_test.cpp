#include "os/named_store.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

const char* kChannel = "INSTALLATION_INTERNAL_PASTEBOARD";
const char* kType = "ERROR_MESSAGE";

PlistValue errorRecord(int64_t code, PlistArray details = {}) {
  return PlistValue(PlistDictionary{{"ERROR_CODE", PlistValue(code)},
                                    {"ERROR_DETAILS", PlistValue(std::move(details))}});
}

class NamedStoreTest : public ::testing::Test {
 protected:
  // The store belongs to the invoking user; here that is whoever runs the test.
  void SetUp() override {
    const char* user = std::getenv("USER");
    if (user) savedUser_ = user;
    ::setenv("USER", ::getpwuid(::geteuid())->pw_name, 1);
  }
  void TearDown() override {
    if (savedUser_) {
      ::setenv("USER", savedUser_->c_str(), 1);
    } else {
      ::unsetenv("USER");
    }
  }
  std::string storeDir() const { return dir_ / "pasteboards"; }
  NamedStore store() const { return NamedStore(kChannel, storeDir()); }

  ScratchDirectory dir_{"store"};
  std::optional<std::string> savedUser_;
};

TEST_F(NamedStoreTest, DefaultDirectoryIsPerInvokingUser) {
  EXPECT_EQ(NamedStore::defaultDirectory(), "/tmp/.pasteboards-" + std::to_string(::geteuid()));
}

TEST_F(NamedStoreTest, DeclareWriteReadAndDeclareAgainDiscards) {
  NamedStore pasteboard = store();
  EXPECT_EQ(pasteboard.propertyListForType(kType), std::nullopt);
  EXPECT_FALSE(pasteboard.setPropertyList(errorRecord(0), kType));  // nothing declared

  ASSERT_TRUE(pasteboard.declareTypes({kType}));
  struct stat st {};
  ASSERT_EQ(::lstat(storeDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(pasteboard.propertyListForType(kType), std::nullopt);

  ASSERT_TRUE(pasteboard.setPropertyList(errorRecord(0), kType));
  EXPECT_EQ(pasteboard.propertyListForType(kType), errorRecord(0));
  PlistValue refusal = errorRecord(-3, {PlistValue("/Applications"), PlistValue("Orrery.app")});
  ASSERT_TRUE(pasteboard.setPropertyList(refusal, kType));
  EXPECT_EQ(pasteboard.propertyListForType(kType), refusal);  // the second write wins
  EXPECT_EQ(*store().propertyListForType(kType)->find("ERROR_CODE")->asInteger(), -3);

  EXPECT_FALSE(pasteboard.setPropertyList(errorRecord(1), "OTHER_TYPE"));
  EXPECT_EQ(pasteboard.propertyListForType("OTHER_TYPE"), std::nullopt);

  ASSERT_TRUE(pasteboard.declareTypes({kType}));
  EXPECT_EQ(pasteboard.propertyListForType(kType), std::nullopt);
}

TEST_F(NamedStoreTest, AnotherProcessReadsAfterTheWriterExited) {
  pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    NamedStore pasteboard = store();
    bool ok =
        pasteboard.declareTypes({kType}) &&
        pasteboard.setPropertyList(errorRecord(7, {PlistValue("/Applications/x.app")}), kType);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(store().propertyListForType(kType),
            errorRecord(7, {PlistValue("/Applications/x.app")}));
}

TEST_F(NamedStoreTest, RefusedDirectoriesMakeTheStoreUnavailable) {
  // A good store elsewhere, to point links at.
  const std::string good = dir_ / "good";
  NamedStore elsewhere(kChannel, good);
  ASSERT_TRUE(elsewhere.declareTypes({kType}));
  ASSERT_TRUE(elsewhere.setPropertyList(errorRecord(5), kType));

  struct Row {
    const char* what;
    std::string directory;
  };
  const std::string link = dir_ / "link";
  ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
  const std::string file = dir_ / "file";
  ASSERT_TRUE(testing::writeFile(file, "x"));
  std::vector<Row> rows = {{"a symbolic link", link}, {"a regular file", file}};
  if (::geteuid() == 0) {
    const std::string foreign = dir_ / "foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
    rows.push_back({"owned by another uid", foreign});
  } else {
    rows.push_back({"owned by root", "/"});
  }
  for (const Row& row : rows) {
    NamedStore pasteboard(kChannel, row.directory);
    EXPECT_FALSE(pasteboard.declareTypes({kType})) << row.what;
    EXPECT_FALSE(pasteboard.setPropertyList(errorRecord(1), kType)) << row.what;
    EXPECT_EQ(pasteboard.propertyListForType(kType), std::nullopt) << row.what;
  }
  EXPECT_EQ(elsewhere.propertyListForType(kType), errorRecord(5));  // untouched through the link
  EXPECT_EQ(testing::readFile(file), "x");
}

TEST_F(NamedStoreTest, LooseModeIsTightenedAndLinkedStoreFilesAreNotRead) {
  ASSERT_EQ(::mkdir(storeDir().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(storeDir().c_str(), 0777), 0);
  NamedStore pasteboard = store();
  ASSERT_TRUE(pasteboard.declareTypes({kType}));
  struct stat st {};
  ASSERT_EQ(::stat(storeDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // A store file that is a link to a record elsewhere is not read.
  NamedStore source(kChannel, dir_ / "source");
  ASSERT_TRUE(source.declareTypes({kType}));
  ASSERT_TRUE(source.setPropertyList(errorRecord(6), kType));
  const std::string linked = storeDir() + "/linked";
  ASSERT_EQ(::symlink((dir_ / "source/" + std::string(kChannel)).c_str(), linked.c_str()), 0);
  EXPECT_EQ(NamedStore("linked", storeDir()).propertyListForType(kType), std::nullopt);

  for (const char* name : {"", ".", "..", "a/b"}) {
    NamedStore odd(name, storeDir());
    EXPECT_FALSE(odd.declareTypes({kType})) << name;
    EXPECT_EQ(odd.propertyListForType(kType), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace rcpinstall::os
