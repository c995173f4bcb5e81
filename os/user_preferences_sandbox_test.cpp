// Runs inside the sandbox as root: reading an ordinary user's preferences through a switch of
// the effective user, and that user's pasteboard directory.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "os/named_store.h"
#include "os/user_identity.h"
#include "os/user_preferences.h"
#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

const char* kDomain = "com.zantec.rcp.install.mac";
const char* kTraceKey = "com.zantec.rcp.install.mac.traceEnable";

std::vector<gid_t> groupsNow() {
  std::vector<gid_t> groups(static_cast<size_t>(::getgroups(0, nullptr)));
  groups.resize(static_cast<size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
  std::sort(groups.begin(), groups.end());
  return groups;
}

class SandboxUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RCP_REQUIRE_SANDBOX();
    RCP_REQUIRE_ROOT();
    alice_ = lookupUserId("alice").value_or(0);
    bob_ = lookupUserId("bob").value_or(0);
    admin_ = lookupGroupId("admin").value_or(0);
    ASSERT_NE(alice_, 0u);
    ASSERT_NE(bob_, 0u);
    ASSERT_NE(admin_, 0u);
    ::setenv("USER", "alice", 1);
  }
  void TearDown() override { ::setenv("USER", "root", 1); }

  // Puts a file into alice's preferences, owned by her and readable by her alone.
  void givePreferenceToAlice(const std::string& name, const std::string& bytes) {
    const std::string dir = "/home/alice/Library/Preferences";
    std::filesystem::create_directories(dir);
    ASSERT_EQ(::chown("/home/alice/Library", alice_, alice_), 0);
    ASSERT_EQ(::chown(dir.c_str(), alice_, alice_), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    const std::string path = dir + "/" + name;
    ASSERT_TRUE(testing::writeFile(path, bytes, 0600));
    ASSERT_EQ(::chown(path.c_str(), alice_, alice_), 0);
  }

  uid_t alice_ = 0;
  uid_t bob_ = 0;
  gid_t admin_ = 0;
};

TEST_F(SandboxUserTest, PreferencesAreReadAsTheInvokingUser) {
  PlistValue xmlDomain(PlistDictionary{{kTraceKey, PlistValue("Yes")}});
  givePreferenceToAlice(std::string(kDomain) + ".plist", serializePlistXml(xmlDomain));
  givePreferenceToAlice(
      ".GlobalPreferences.plist",
      *testing::readFile(testing::corpusDir() + "/plists/global_defaults.binary.plist"));
  // A file only root may read.
  ASSERT_TRUE(testing::writeFile("/tmp/root-only", "secret", 0600));

  const std::vector<gid_t> groupsBefore = groupsNow();
  std::optional<uid_t> invoking = lookupUserId(invokingUserName().value_or(""));
  ASSERT_EQ(invoking, alice_);

  std::optional<PlistValue> domain, locale;
  uid_t euidDuring = 0;
  gid_t egidDuring = 0;
  std::vector<gid_t> groupsDuring;
  int rootOnlyError = 0;
  ASSERT_TRUE(runAsEffectiveUser(*invoking, [&] {
    euidDuring = ::geteuid();
    egidDuring = ::getegid();
    groupsDuring = groupsNow();
    domain = persistentDomain(kDomain);
    locale = standardPreference("AppleLocale");
    int fd = ::open("/tmp/root-only", O_RDONLY);
    rootOnlyError = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
  }));

  EXPECT_EQ(euidDuring, alice_);
  EXPECT_EQ(egidDuring, alice_);  // alice's primary group has her uid's number here
  EXPECT_TRUE(std::find(groupsDuring.begin(), groupsDuring.end(), admin_) != groupsDuring.end());
  EXPECT_EQ(rootOnlyError, EACCES);
  EXPECT_EQ(domain, xmlDomain);
  ASSERT_TRUE(locale);
  EXPECT_NE(locale->asString(), nullptr);

  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(::getegid(), 0u);
  EXPECT_EQ(groupsNow(), groupsBefore);

  // As root, without the switch, root's own (empty) home is read.
  EXPECT_EQ(persistentDomain(kDomain), std::nullopt);
}

TEST_F(SandboxUserTest, NoSwitchBackStopsTheProgram) {
  EXPECT_EXIT(
      {
        runAsEffectiveUser(alice_, [&] {
          // Give up root for good: real and saved user become alice.
          if (::setresuid(alice_, alice_, alice_) != 0) std::_Exit(3);
        });
        std::_Exit(0);  // must not be reached
      },
      ::testing::ExitedWithCode(1), "could not switch back");
}

TEST_F(SandboxUserTest, PasteboardDirectoryBelongsToTheInvokingUser) {
  const std::string directory = NamedStore::defaultDirectory();
  EXPECT_EQ(directory, "/tmp/.pasteboards-" + std::to_string(alice_));
  testing::removeTree(directory);

  NamedStore pasteboard("INSTALLATION_INTERNAL_PASTEBOARD");
  ASSERT_TRUE(pasteboard.declareTypes({"ERROR_MESSAGE"}));
  PlistValue record(PlistDictionary{{"ERROR_CODE", PlistValue(-6)},
                                    {"ERROR_DETAILS", PlistValue(PlistArray{PlistValue("x")})}});
  ASSERT_TRUE(pasteboard.setPropertyList(record, "ERROR_MESSAGE"));

  struct stat st {};
  ASSERT_EQ(::lstat(directory.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, alice_);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const std::string file = directory + "/INSTALLATION_INTERNAL_PASTEBOARD";
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, alice_);

  // alice herself, in another process, reads what root wrote.
  std::optional<std::string> python = testing::python3();
  if (python) {
    testing::RunResult run =
        testing::runProgram({*python, "-c",
                             "import plistlib,sys\n"
                             "v = plistlib.load(open(sys.argv[1], 'rb'))\n"
                             "print(v['values']['ERROR_MESSAGE']['ERROR_CODE'])",
                             file},
                            {}, "alice");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "-6\n");
  }

  // Handed to bob, the directory is refused: nothing is written or read through it.
  ASSERT_EQ(::chown(directory.c_str(), bob_, bob_), 0);
  EXPECT_EQ(pasteboard.propertyListForType("ERROR_MESSAGE"), std::nullopt);
  EXPECT_FALSE(pasteboard.declareTypes({"ERROR_MESSAGE"}));
  testing::removeTree(directory);

  // A link planted in its place is refused too.
  ASSERT_EQ(::mkdir("/tmp/elsewhere", 0700), 0);
  ASSERT_EQ(::chown("/tmp/elsewhere", alice_, alice_), 0);
  ASSERT_EQ(::symlink("/tmp/elsewhere", directory.c_str()), 0);
  EXPECT_FALSE(pasteboard.declareTypes({"ERROR_MESSAGE"}));
  EXPECT_TRUE(std::filesystem::is_empty("/tmp/elsewhere"));
  testing::removeTree(directory);
  testing::removeTree("/tmp/elsewhere");
}

}  // namespace
}  // namespace rcpinstall::os
