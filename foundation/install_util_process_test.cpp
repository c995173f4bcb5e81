#include "foundation/install_util_process.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "foundation/install_util.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/process_list.h"
#include "tests/support/testing.h"

namespace rcpinstall::InstallUtil {
namespace {

using testing::ScratchDirectory;

// Sets an environment variable for the length of a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
    tzset();
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
    tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::time_t utc(int year, int month, int day, int hour, int minute) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  return timegm(&fields);
}

TEST(InstallUtilProcessTest, ProcessDatePadsOneCharacter) {
  struct Row {
    const char* text;
    const char* expected;
  } rows[] = {{"7", "07"}, {"12", "12"}, {"", ""}, {"123", "123"}, {"x", "0x"}, {"é", "0é"}};
  for (const Row& row : rows) EXPECT_EQ(processDate(row.text), row.expected) << row.text;
}

TEST(InstallUtilProcessTest, ManifestVersionIsLocalDayMonthYearHourMinute) {
  struct Row {
    const char* zone;
    std::time_t moment;
    const char* expected;
  } rows[] = {
      {"UTC", utc(2009, 3, 1, 0, 0), "0103090000"},
      {"UTC", utc(2010, 12, 31, 23, 59) + 59, "3112102359"},  // seconds are not part of it
      {"UTC", utc(2026, 12, 7, 9, 5), "0712260905"},
      {"UTC", utc(2000, 1, 2, 3, 4), "0201000304"},
      // Local time: two hours east of UTC is already the next year.
      {"<+02>-2", utc(2010, 12, 31, 22, 30), "0101110030"},
  };
  for (const Row& row : rows) {
    ScopedEnv zone("TZ", row.zone);
    EXPECT_EQ(generateNewManifestVersion(row.moment), row.expected) << row.zone;
  }
  const std::time_t before = std::time(nullptr);
  const std::string now = generateNewManifestVersion();
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(now == generateNewManifestVersion(before) || now == generateNewManifestVersion(after))
      << now;
}

TEST(InstallUtilProcessTest, RunningCheckIsAPlainPrefixOfAnExecutablePath) {
  const std::optional<std::string> self = os::ownExecutablePath();
  ASSERT_TRUE(self.has_value());
  const std::string& executable = *self;
  const std::string folder = os::deletingLastComponent(executable);

  const std::vector<std::string> processes = getAllProcess();
  EXPECT_NE(std::find(processes.begin(), processes.end(), executable), processes.end());
  EXPECT_TRUE(checkBundleIsRunning(executable));
  EXPECT_TRUE(checkBundleIsRunning(folder));
  EXPECT_TRUE(checkBundleIsRunning(folder.substr(0, folder.size() - 1)));  // mid-component
  EXPECT_FALSE(checkBundleIsRunning(executable + "-not-running"));
  EXPECT_FALSE(checkBundleIsRunning("/Applications/No Such Product.app"));
  // The same folder spelled through a link, or with "..", is still the running one.
  ScratchDirectory scratch("running");
  ASSERT_EQ(symlink(folder.c_str(), (scratch / "link").c_str()), 0);
  EXPECT_TRUE(checkBundleIsRunning(scratch / "link"));
  EXPECT_TRUE(checkBundleIsRunning(folder + "/../" + os::lastComponent(folder)));
}

TEST(InstallUtilProcessTest, StandardOwnerIsUserElseTheLoginName) {
  const std::string login = getpwuid(geteuid())->pw_name;
  {
    ScopedEnv user("USER", "someone-else");
    EXPECT_EQ(standardOwner(), "someone-else");
  }
  for (const char* unusable : {static_cast<const char*>(nullptr), ""}) {
    ScopedEnv user("USER", unusable);
    EXPECT_EQ(standardOwner(), login);
  }
}

TEST(InstallUtilProcessTest, AttributeRepairRefusalsAndWhatItChanges) {
  EXPECT_FALSE(changeAttributesForDirectory(std::nullopt));
  ScratchDirectory scratch("repair");
  EXPECT_FALSE(changeAttributesForDirectory(scratch / "missing"));

  const std::string login = getpwuid(geteuid())->pw_name;
  ScopedEnv user("USER", login.c_str());
  ASSERT_EQ(mkdir((scratch / "empty").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((scratch / "tree").c_str(), 0700), 0);
  ASSERT_TRUE(testing::writeFile(scratch / "tree/file", "x", 0600));

  const struct group* admin = getgrnam(STANDARD_GROUP);
  const bool adminExists = admin != nullptr;
  bool canBeAdmin = adminExists && (geteuid() == 0 || getegid() == admin->gr_gid);
  gid_t groups[256];
  const int count = getgroups(256, groups);
  for (int i = 0; adminExists && i < count; ++i) canBeAdmin |= groups[i] == admin->gr_gid;
  EXPECT_EQ(changeAttributesForDirectory(scratch / "empty"), adminExists);
  struct stat status;
  ASSERT_EQ(stat((scratch / "empty").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);  // the directory itself is not touched

  // Without an "admin" group (or the right to give it) the answer is false, but owner and mode
  // are still repaired.
  EXPECT_EQ(changeAttributesForDirectory(scratch / "tree"), canBeAdmin);
  ASSERT_EQ(stat((scratch / "tree/file").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, STANDARD_MODE);
  EXPECT_EQ(status.st_uid, geteuid());
}

TEST(InstallUtilProcessTest, MergeCopyWithAnAbsentPathDoesNothing) {
  ScratchDirectory scratch("extras");
  ASSERT_TRUE(testing::writeFile(scratch / "file", "x"));
  copyFolderFrom(std::nullopt, scratch / "copy");
  copyFolderFrom(scratch / "file", std::nullopt);
  EXPECT_FALSE(os::FileSystem::entryExists(scratch / "copy"));
}

}  // namespace
}  // namespace rcpinstall::InstallUtil
