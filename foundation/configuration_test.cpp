#include "foundation/configuration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "foundation/properties.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;
using testing::ScratchDirectory;

const char* kVictimXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>secret</key><string>do not copy</string></dict></plist>\n";

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(ConfigurationTest, DefaultFile) {
  EXPECT_STREQ(CONFIGURATION_FILE, "/tmp/com.zantec.rcp.platform.internal.configuration");
}

TEST(ConfigurationTest, HandOffRoundTrip) {
  ScratchDirectory dir;
  const std::string file = dir / "handoff";
  {
    Configuration fresh(file);  // no file yet: an empty configuration
    EXPECT_EQ(fresh.getPropertyValueForKey(KEY_PATH_TO_RCP_HOME), std::nullopt);
    fresh.setProperty(PlistValue("/Applications/Orrery.app/Contents/rcp"), KEY_PATH_TO_RCP_HOME);
    fresh.setProperty(PlistValue("${env.HOME}/Library/Orrery"), P_RCPDATA);
    ASSERT_TRUE(fresh.saveConfiguration());
  }
  EXPECT_EQ(statOf(file).st_mode & 07777, 0644u);

  // A later install keeps what it does not set, replaces the rcp home and drops an unset
  // data directory.
  Properties withExtra(file);
  withExtra.setProperty(PlistValue("kept"), "otherKey");
  ASSERT_TRUE(withExtra.savePropertiesToFile());
  {
    Configuration later(file);
    EXPECT_EQ(later.getStringValueForKey(P_RCPDATA), "${env.HOME}/Library/Orrery");
    later.setProperty(PlistValue("/Volumes/Other/rcp"), KEY_PATH_TO_RCP_HOME);
    later.setProperty(std::nullopt, P_RCPDATA);
    ASSERT_TRUE(later.saveConfiguration());
  }
  Configuration reader(file);
  EXPECT_EQ(reader.getStringValueForKey(KEY_PATH_TO_RCP_HOME), "/Volumes/Other/rcp");
  EXPECT_EQ(reader.getPropertyValueForKey(P_RCPDATA), std::nullopt);
  EXPECT_EQ(reader.getStringValueForKey("otherKey"), "kept");
  std::optional<std::string> text = testing::readFile(file);
  EXPECT_EQ(text->find("P_RCPDATA"), std::string::npos);

  reader.cleanupConfiguration();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file)));
  EXPECT_EQ(reader.getPropertyValueForKey(KEY_PATH_TO_RCP_HOME), std::nullopt);
  EXPECT_EQ(reader.getPropertyValueForKey("otherKey"), std::nullopt);
}

// Whatever someone planted at the hand-off name is neither read through nor written through:
// the configuration starts empty, and saving puts a fresh regular file of ours in its place.
TEST(ConfigurationTest, PlantedEntriesAreReplacedNotFollowed) {
  struct Row {
    const char* name;
    void (*plant)(const std::string& file, const std::string& victim);
  };
  const std::vector<Row> rows = {
      {"link to a store",
       [](const std::string& file, const std::string& victim) {
         std::filesystem::create_symlink(victim, file);
       }},
      {"dangling link",
       [](const std::string& file, const std::string& victim) {
         std::filesystem::create_symlink(victim + ".none", file);
       }},
      {"fifo", [](const std::string& file, const std::string&) { ::mkfifo(file.c_str(), 0666); }},
      {"unparsable file", [](const std::string& file,
                             const std::string&) { testing::writeFile(file, "garbage", 0666); }},
      {"world-writable store",
       [](const std::string& file, const std::string& victim) {
         testing::writeFile(file, *testing::readFile(victim), 0666);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDirectory dir;
    const std::string file = dir / "handoff";
    const std::string victim = dir / "victim.plist";
    ASSERT_TRUE(testing::writeFile(victim, kVictimXml, 0600));
    row.plant(file, victim);

    // A FIFO with no writer would block a plain open for ever.
    auto loading = std::async(std::launch::async, [&] { return Configuration(file); });
    if (loading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      int unblock = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
      loading.wait();
      if (unblock >= 0) ::close(unblock);
      FAIL() << "loading blocked on the entry at the hand-off name";
    }
    Configuration configuration = loading.get();
    const bool ownStore = std::string(row.name) == "world-writable store";
    EXPECT_EQ(configuration.getStringValueForKey("secret"),
              ownStore ? std::optional<std::string>("do not copy") : std::nullopt);

    configuration.setProperty(PlistValue("/Applications/Orrery.app/Contents/rcp"),
                              KEY_PATH_TO_RCP_HOME);
    ASSERT_TRUE(configuration.saveConfiguration());
    struct stat st = statOf(file);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(Configuration(file).getStringValueForKey(KEY_PATH_TO_RCP_HOME),
              "/Applications/Orrery.app/Contents/rcp");
    EXPECT_EQ(testing::readFile(victim), std::string(kVictimXml));
    EXPECT_EQ(statOf(victim).st_mode & 07777, 0600u);
  }
}

TEST(ConfigurationTest, DirectoryAtTheNameFailsCleanly) {
  ScratchDirectory dir;
  const std::string file = dir / "handoff";
  ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
  Configuration configuration(file);
  configuration.setProperty(PlistValue("/x/rcp"), KEY_PATH_TO_RCP_HOME);
  EXPECT_FALSE(configuration.saveConfiguration());
  configuration.cleanupConfiguration();
  EXPECT_TRUE(std::filesystem::is_directory(file));
  // Nothing half-written is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace rcpinstall
