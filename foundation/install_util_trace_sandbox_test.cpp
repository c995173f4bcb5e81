// Runs as root inside the test sandbox, where the ordinary user alice has a home of her own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/install_util.h"
#include "os/plist_value.h"
#include "os/system_log.h"
#include "os/user_identity.h"
#include "os/user_preferences.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;

// A binary property list {"com.zantec.rcp.install.mac.traceEnable": true}, as the target
// system's preferences writer leaves it.
const std::string kBinaryTraceOn(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x5f\x10\x26\x63\x6f\x6d\x2e\x7a\x61\x6e\x74"
    "\x65\x63\x2e\x72\x63\x70\x2e\x69\x6e\x73\x74\x61\x6c\x6c\x2e\x6d\x61\x63\x2e\x74\x72\x61"
    "\x63\x65\x45\x6e\x61\x62\x6c\x65\x09\x08\x0b\x34\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00"
    "\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x35",
    88);

class InstallUtilSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RCP_REQUIRE_SANDBOX();
    RCP_REQUIRE_ROOT();
    const std::optional<uid_t> alice = os::lookupUserId("alice");
    ASSERT_TRUE(alice) << "the sandbox has no user alice";
    aliceUid_ = *alice;
    const std::optional<std::string> home = os::homeDirectoryOfUser(aliceUid_);
    ASSERT_TRUE(home);
    preferences_ = *home + "/Library/Preferences";
    for (const std::string& dir : {*home + "/Library", preferences_}) {
      ::mkdir(dir.c_str(), 0755);
      ASSERT_EQ(::chown(dir.c_str(), aliceUid_, static_cast<gid_t>(-1)), 0) << dir;
    }
    if (const char* user = std::getenv("USER")) savedUser_ = user;
    setenv("USER", "alice", 1);
    clearPreferences();
  }

  void TearDown() override {
    if (preferences_.empty()) return;
    clearPreferences();
    ::unlink(TRACE_LOG_PATH);
    if (savedUser_) {
      setenv("USER", savedUser_->c_str(), 1);
    } else {
      unsetenv("USER");
    }
  }

  void clearPreferences() {
    ::unlink(traceDomainFile().c_str());
    ::unlink(globalFile().c_str());
    ::unlink(os::kSystemGlobalPreferencesFile);
  }

  std::string traceDomainFile() const { return preferences_ + "/" + TRACE_DOMAIN + ".plist"; }
  std::string globalFile() const { return preferences_ + "/.GlobalPreferences.plist"; }

  // Leaves a file that only alice may read, as her preferences are.
  void writeAliceFile(const std::string& path, std::string_view bytes) {
    ASSERT_TRUE(testing::writeFile(path, bytes, 0600)) << path;
    ASSERT_EQ(::chown(path.c_str(), aliceUid_, static_cast<gid_t>(-1)), 0) << path;
  }

  void setTraceValue(const std::optional<PlistValue>& value) {
    os::PlistDictionary domain = {{"other.key", PlistValue(true)}};
    if (value) domain.emplace_back(TRACE_KEY, *value);
    writeAliceFile(traceDomainFile(), os::serializePlistXml(PlistValue(domain)));
  }

  static void expectRootAgain() {
    EXPECT_EQ(::geteuid(), 0u);
    EXPECT_EQ(::getegid(), 0u);
  }

  uid_t aliceUid_ = 0;
  std::string preferences_;
  std::optional<std::string> savedUser_;
};

TEST_F(InstallUtilSandboxTest, TraceSwitchIsTheInvokingUsers) {
  const std::pair<std::optional<PlistValue>, bool> rows[] = {{PlistValue(true), true},
                                                             {PlistValue("YES"), true},
                                                             {PlistValue("0"), false},
                                                             {std::nullopt, false}};
  for (const auto& [value, expected] : rows) {
    setTraceValue(value);
    EXPECT_EQ(InstallUtil::shouldWriteTraces(), expected);
    expectRootAgain();
  }
  writeAliceFile(traceDomainFile(), kBinaryTraceOn);
  EXPECT_TRUE(InstallUtil::shouldWriteTraces()) << "binary preferences";
  expectRootAgain();
  ::unlink(traceDomainFile().c_str());
  EXPECT_FALSE(InstallUtil::shouldWriteTraces()) << "no domain at all";
}

TEST_F(InstallUtilSandboxTest, LocaleIsTheInvokingUsers) {
  EXPECT_EQ(InstallUtil::getCurrentLocale(), "en_US");  // nothing set anywhere

  // The machine-wide domain comes after the user's own.
  ::mkdir("/Library/Preferences", 0755);
  ASSERT_TRUE(os::writePlistFile(os::kSystemGlobalPreferencesFile,
                                 PlistValue(os::PlistDictionary{{LOCALE_KEY, "fr_FR"}})));
  EXPECT_EQ(InstallUtil::getCurrentLocale(), "fr_FR");

  writeAliceFile(globalFile(),
                 os::serializePlistXml(PlistValue(os::PlistDictionary{{LOCALE_KEY, "de_CH"}})));
  EXPECT_EQ(InstallUtil::getCurrentLocale(), "de_CH");
  expectRootAgain();

  // A global domain written by the target system itself (binary, holding en_US).
  const std::optional<std::string> real =
      testing::readFile(testing::corpusDir() + "/plists/global_defaults.binary.plist");
  ASSERT_TRUE(real);
  writeAliceFile(globalFile(), *real);
  EXPECT_EQ(InstallUtil::getCurrentLocale(), "en_US");
  expectRootAgain();

  // A value that is no identifier counts as none set.
  for (const PlistValue& odd : {PlistValue(""), PlistValue(7)}) {
    writeAliceFile(globalFile(),
                   os::serializePlistXml(PlistValue(os::PlistDictionary{{LOCALE_KEY, odd}})));
    EXPECT_EQ(InstallUtil::getCurrentLocale(), "en_US");
  }
}

TEST_F(InstallUtilSandboxTest, UnknownInvokingUserReadsWithTheCurrentIdentity) {
  setTraceValue(PlistValue(true));
  setenv("USER", "no-such-user-here", 1);
  const std::optional<PlistValue> rootDomain = os::persistentDomain(TRACE_DOMAIN);
  const bool rootSwitch = rootDomain && rootDomain->find(TRACE_KEY) &&
                          InstallUtil::readsAsTrue(*rootDomain->find(TRACE_KEY));
  EXPECT_EQ(InstallUtil::shouldWriteTraces(), rootSwitch);
  expectRootAgain();
}

TEST_F(InstallUtilSandboxTest, StopsWhenTheSwitchCannotBeUndone) {
  // While alice's preferences are read, the process gives up every way back to root: it
  // must stop rather than go on as alice.
  const uid_t alice = aliceUid_;
  EXPECT_EXIT(os::runAsEffectiveUser(alice,
                                     [alice] {
                                       ASSERT_EQ(::setresuid(alice, alice, alice), 0);
                                       (void)InstallUtil::shouldWriteTraces();
                                     }),
              ::testing::ExitedWithCode(1), "switch back");
}

TEST_F(InstallUtilSandboxTest, TraceLogStartsEmptyAndReceivesEveryLine) {
  ASSERT_TRUE(testing::writeFile(TRACE_LOG_PATH, "an earlier run\n"));
  setTraceValue(PlistValue("Y"));

  const int fd = InstallUtil::openTraceOutput();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(testing::readFile(TRACE_LOG_PATH), "");
  os::SystemLog::log(os::SystemLog::kInfo, "Begin to install hotfix %s", "1.0.1");
  os::SystemLog::log(os::SystemLog::kWarning, "second %d", 2);
  os::SystemLog::log(os::SystemLog::kError, "third");
  InstallUtil::closeTraceOutput(fd);
  os::SystemLog::log(os::SystemLog::kInfo, "after the close");

  const std::optional<std::string> log = testing::readFile(TRACE_LOG_PATH);
  ASSERT_TRUE(log);
  const char* const expected[] = {" <Info>: Begin to install hotfix 1.0.1\n",
                                  " <Warning>: second 2\n", " <Error>: third\n"};
  size_t start = 0;
  for (const char* ending : expected) {
    const size_t end = log->find('\n', start) + 1;
    ASSERT_NE(end, 0u) << *log;
    EXPECT_TRUE(std::string_view(*log).substr(start, end - start).ends_with(ending)) << *log;
    start = end;
  }
  EXPECT_EQ(start, log->size()) << *log;

  // A fresh log is created with mode 0644.
  ::unlink(TRACE_LOG_PATH);
  const int again = InstallUtil::openTraceOutput();
  ASSERT_GE(again, 0);
  InstallUtil::closeTraceOutput(again);
  struct stat info {};
  ASSERT_EQ(::lstat(TRACE_LOG_PATH, &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // Switching tracing off leaves the last log as it is.
  setTraceValue(PlistValue("N"));
  ASSERT_TRUE(testing::writeFile(TRACE_LOG_PATH, "the last traced run\n"));
  EXPECT_EQ(InstallUtil::openTraceOutput(), -1);
  EXPECT_EQ(testing::readFile(TRACE_LOG_PATH), "the last traced run\n");
}

TEST_F(InstallUtilSandboxTest, TraceLogRefusesAnythingButARegularFile) {
  setTraceValue(PlistValue(true));
  const std::string victim = "/tmp/trace-victim";
  ASSERT_TRUE(testing::writeFile(victim, "keep me\n"));

  ASSERT_EQ(::symlink(victim.c_str(), TRACE_LOG_PATH), 0);
  EXPECT_EQ(InstallUtil::openTraceOutput(), -1) << "symbolic link";
  EXPECT_EQ(testing::readFile(victim), "keep me\n");
  ASSERT_EQ(::unlink(TRACE_LOG_PATH), 0);

  ASSERT_EQ(::mkfifo(TRACE_LOG_PATH, 0644), 0);
  EXPECT_EQ(InstallUtil::openTraceOutput(), -1) << "FIFO";  // and it did not block
  ASSERT_EQ(::unlink(TRACE_LOG_PATH), 0);

  ASSERT_EQ(::mkdir(TRACE_LOG_PATH, 0755), 0);
  EXPECT_EQ(InstallUtil::openTraceOutput(), -1) << "directory";
  ASSERT_EQ(::rmdir(TRACE_LOG_PATH), 0);
  ::unlink(victim.c_str());
}

TEST_F(InstallUtilSandboxTest, ErrorChannelOfTheInvokingUser) {
  InstallUtil::initInternalPasteboard(true);
  InstallUtil::sendErrorMessage(makeErrorRecord(kUnsupportedCharacters));
  EXPECT_EQ(InstallUtil::getErrorMessage(), makeErrorRecord(kUnsupportedCharacters));

  // The store belongs to alice, so that her result pane can read and reset it.
  struct stat info {};
  const std::string directory = "/tmp/.pasteboards-" + std::to_string(aliceUid_);
  ASSERT_EQ(::lstat(directory.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_uid, aliceUid_);
  const testing::RunResult reader = testing::runProgram(
      {"/bin/cat", directory + "/" + INTERNAL_PASTEBOARD_NAME}, {}, std::string("alice"));
  EXPECT_EQ(reader.exitStatus, 0) << reader.err;
  EXPECT_NE(reader.out.find(ERROR_CODE), std::string::npos);
}

}  // namespace
}  // namespace rcpinstall
