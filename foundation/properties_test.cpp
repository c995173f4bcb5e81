#include "foundation/properties.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>

#include "foundation/configuration.h"
#include "foundation/register_file.h"
#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistValue;
using ::testing::ElementsAre;
using testing::ScratchDirectory;

// The lines the system log writes while `run` runs, as "<Level>: message".
std::vector<std::string> logLinesOf(const std::function<void()>& run) {
  ScratchDirectory dir;
  int fd = ::open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  os::SystemLog::addLogFile(fd);
  run();
  os::SystemLog::removeLogFile(fd);
  ::close(fd);
  std::vector<std::string> lines;
  std::istringstream in(testing::readFile(dir / "log").value_or(""));
  for (std::string line; std::getline(in, line);)
    lines.push_back(line.substr(line.find("] <") + 2));
  return lines;
}

std::string plist(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
         "</dict></plist>\n";
}

TEST(PropertiesTest, WhatEachFileGivesAndAllows) {
  struct Row {
    const char* name;
    std::optional<std::string> content;  // none: no file
    bool usable, fileKept;
  };
  for (const Row& row : std::vector<Row>{
           {"store", plist("<key>a</key><string>1</string><key>n</key><integer>3</integer>"), true,
            true},
           {"missing", std::nullopt, false, false},
           {"not a plist", "a=1\n", false, true},
           {"empty", "", false, true},
           {"array root", "<plist version=\"1.0\"><array/></plist>", false, true},
       }) {
    SCOPED_TRACE(row.name);
    ScratchDirectory dir;
    if (row.content) testing::writeFile(dir / "s.plist", *row.content);
    Properties store(dir / "s.plist");
    EXPECT_EQ(store.file(), row.fileKept ? std::optional(dir / "s.plist") : std::nullopt);
    EXPECT_EQ(store.setProperty(PlistValue("2"), "a"), row.usable);
    EXPECT_EQ(store.savePropertiesToFile(), row.usable);
    EXPECT_EQ(store.savePropertiesToFile(dir / "other.plist"), row.usable);
    EXPECT_EQ(std::filesystem::exists(dir / "other.plist"), row.usable);
    EXPECT_EQ(testing::readFile(dir / "s.plist").has_value(), row.content.has_value());
    if (!row.usable) {
      EXPECT_EQ(store.getPropertyForKey("a"), std::nullopt);
      EXPECT_EQ(testing::readFile(dir / "s.plist"), row.content);
      continue;
    }
    Properties reread(dir / "s.plist");
    EXPECT_EQ(reread.getStringForKey("a"), "2");
    EXPECT_EQ(reread.getPropertyForKey("n"), PlistValue(3));  // kept as it was, not a string
    EXPECT_EQ(reread.getStringForKey("n"), std::nullopt);
  }
}

TEST(PropertiesTest, ChangesTargetsAndFailedWrites) {
  ScratchDirectory dir;
  Properties store;
  EXPECT_FALSE(store.setProperty(PlistValue("x"), std::nullopt));
  EXPECT_TRUE(store.setProperty(PlistValue("1"), "a"));
  EXPECT_TRUE(store.setProperty(PlistValue("2"), "b"));
  EXPECT_TRUE(store.setProperty(PlistValue("3"), "a"));  // replaced in place
  EXPECT_TRUE(store.setProperty(std::nullopt, "b"));     // an absent value removes the entry
  EXPECT_EQ(*store.dictionary(), PlistValue(os::PlistDictionary{{"a", PlistValue("3")}}));
  EXPECT_TRUE(store.savePropertiesToFile());  // no target: nothing written
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
  ::setenv("HOME", dir.path().c_str(), 1);
  EXPECT_TRUE(store.savePropertiesToFile("~/s.plist"));
  Properties fromHome("~/s.plist");
  ::setenv("HOME", oldHome.c_str(), 1);
  EXPECT_EQ(fromHome.file(), dir / "s.plist");
  EXPECT_EQ(fromHome.getStringForKey("a"), "3");

  // A write that fails says so, and the old file stays.
  EXPECT_FALSE(store.savePropertiesToFile(dir / "no-dir/s.plist"));
  EXPECT_FALSE(store.savePropertiesToFile(dir.path()));
  fromHome.removeAllProperties();
  if (::geteuid() != 0) {  // root writes into read-only directories
    ::chmod(dir.path().c_str(), 0555);
    EXPECT_FALSE(fromHome.savePropertiesToFile());
    ::chmod(dir.path().c_str(), 0755);
  }
  EXPECT_EQ(Properties(dir / "s.plist").getStringForKey("a"), "3");
}

// XML property lists give dates in whole seconds; a binary one may hold fractions.
PlistValue inWholeSeconds(PlistValue value) {
  if (const os::PlistDate* date = value.asDate())
    return PlistValue(os::PlistDate{std::floor(date->secondsSince2001)});
  if (os::PlistArray* array = value.asArray())
    for (PlistValue& item : *array) item = inWholeSeconds(std::move(item));
  if (os::PlistDictionary* dictionary = value.asDictionary())
    for (auto& entry : *dictionary) entry.second = inWholeSeconds(std::move(entry.second));
  return value;
}

// Stores from the target system and from Python's plistlib (XML and binary) are read, and
// what we write back holds the same values for plistlib.
TEST(PropertiesTest, InteroperatesWithOtherWriters) {
  std::optional<std::string> python = testing::python3();
  if (!python) GTEST_SKIP() << "no python3 for the plistlib checks";
  const std::string pyValues =
      "import plistlib,sys,datetime\n"
      "d={'text':'Gr\\u00fc\\u00dfe \\u2713 <&>','negative':-42,'big':2**40,'real':1.5,"
      "'flag':True,'data':b'\\x00\\xff','date':datetime.datetime(2020,1,2,3,4,5),"
      "'list':['a',1,{'k':'v'}]}\n"
      "def whole(v):\n"
      "  if isinstance(v,datetime.datetime): return v.replace(microsecond=0)\n"
      "  if isinstance(v,list): return [whole(x) for x in v]\n"
      "  if isinstance(v,dict): return {k: whole(x) for k,x in v.items()}\n"
      "  return v\n";
  const std::string corpus = testing::corpusDir() + "/plists/";
  for (std::string source :
       {std::string("FMT_XML"), std::string("FMT_BINARY"), corpus + "global_defaults.binary.plist",
        corpus + "symbolic_hotkeys.binary.plist"}) {
    SCOPED_TRACE(source);
    ScratchDirectory dir;
    if (source.rfind("FMT_", 0) == 0) {
      testing::RunResult dumped = testing::runProgram(
          {*python, "-c",
           pyValues + "plistlib.dump(d,open(sys.argv[1],'wb'),fmt=plistlib." + source + ")",
           dir / "in.plist"});
      ASSERT_EQ(dumped.exitStatus, 0) << dumped.err;
      source = dir / "in.plist";
      Properties store(source);
      EXPECT_EQ(store.getStringForKey("text"), "Gr\u00fc\u00dfe \u2713 <&>");
      EXPECT_EQ(store.getPropertyForKey("negative"), PlistValue(-42));
      EXPECT_EQ(store.getPropertyForKey("date"), PlistValue(os::PlistDate{599627045.0}));
    }
    Properties store(source);
    ASSERT_TRUE(store.savePropertiesToFile(dir / "out.plist"));
    EXPECT_EQ(*Properties(dir / "out.plist").dictionary(), inWholeSeconds(*store.dictionary()));
    testing::RunResult same = testing::runProgram(
        {*python, "-c",
         pyValues +
             "a=plistlib.load(open(sys.argv[1],'rb')); b=plistlib.load(open(sys.argv[2],'rb'))\n"
             "sys.exit(0 if whole(a)==b else 'differs: %r' % b)",
         source, dir / "out.plist"});
    EXPECT_EQ(same.exitStatus, 0) << same.err;
  }
}

TEST(RegisterFileTest, GettersAndUpdate) {
  ScratchDirectory root;
  std::filesystem::create_directories(root / "Orrery");
  testing::writeFile(root / "Orrery/framework.plist",
                     plist("<key>pathToProduct</key><string>/Applications/Orrery.app</string>"
                           "<key>oldInstallLocation</key><string>/Opt/Orrery/</string>"
                           "<key>hotfixVersion</key><integer>2</integer>"));
  testing::writeFile(root / "framework.plist",
                     plist("<key>pathToProduct</key><string>/x</string>"));
  RegisterFile file("Orrery", root.path());
  EXPECT_EQ(file.getRegisterDirectory(), root / "Orrery");
  EXPECT_EQ(file.getProductPath(), "/Applications/Orrery.app");
  EXPECT_EQ(file.getOldInstallLocation(), "/Opt/Orrery/");
  EXPECT_EQ(file.getPathToRcpHome(), "/Opt/Orrery/rcp");
  EXPECT_EQ(file.getHotfixVersion(), std::nullopt);  // not a string
  EXPECT_EQ(RegisterFile("Orrery").getRegisterDirectory(),
            "/Library/Application Support/Fernhollow/Orrery");
  // Names that are no single path component lead to no registry, not out of the directory.
  for (const char* name : {"Missing", "", ".", "Orrery/..", "../Orrery"}) {
    RegisterFile none(name, root / "Orrery");
    EXPECT_EQ(none.getProductPath(), std::nullopt) << name;
    EXPECT_EQ(none.getPathToRcpHome(), std::nullopt) << name;
  }

  EXPECT_THAT(logLinesOf([&] { file.updateHotfixVersion("2.1.0.4"); }),
              ElementsAre("<Info>: Update CURRENT_HOTFIX_VERSION to 2.1.0.4"));
  EXPECT_EQ(RegisterFile("Orrery", root.path()).getHotfixVersion(), "2.1.0.4");
  EXPECT_EQ(RegisterFile("Orrery", root.path()).getProductPath(), "/Applications/Orrery.app");
  EXPECT_THAT(logLinesOf([&] { RegisterFile("Missing", root.path()).updateHotfixVersion("3"); }),
              ElementsAre("<Warning>: Fail to update CURRENT_HOTFIX_VERSION",
                          "<Warning>: Fail to save CURRENT_HOTFIX_VERSION"));
  EXPECT_FALSE(std::filesystem::exists(root / "Missing"));
  if (::geteuid() != 0) {  // root writes into read-only directories
    ::chmod((root / "Orrery").c_str(), 0555);
    EXPECT_THAT(logLinesOf([&] { file.updateHotfixVersion("3"); }),
                ElementsAre("<Info>: Update CURRENT_HOTFIX_VERSION to 3",
                            "<Warning>: Fail to save CURRENT_HOTFIX_VERSION"));
    ::chmod((root / "Orrery").c_str(), 0755);
  }
}

TEST(ConfigurationTest, HandOffKeepsWhatItDoesNotSet) {
  EXPECT_STREQ(CONFIGURATION_FILE, "/tmp/com.zantec.rcp.platform.internal.configuration");
  ScratchDirectory dir;
  const std::string file = dir / "handoff";
  testing::writeFile(file, plist("<key>other</key><string>kept</string>"
                                 "<key>P_RCPDATA</key><string>${env.HOME}/data</string>"));
  Configuration configuration(file);
  EXPECT_EQ(configuration.getStringValueForKey(P_RCPDATA), "${env.HOME}/data");
  configuration.setProperty(PlistValue("/Volumes/Other/rcp"), KEY_PATH_TO_RCP_HOME);
  configuration.setProperty(std::nullopt, P_RCPDATA);
  ASSERT_TRUE(configuration.saveConfiguration());
  EXPECT_EQ(testing::readFile(file)->find(P_RCPDATA), std::string::npos);
  Configuration reader(file);
  EXPECT_EQ(reader.getStringValueForKey(KEY_PATH_TO_RCP_HOME), "/Volumes/Other/rcp");
  EXPECT_EQ(reader.getStringValueForKey("other"), "kept");
  reader.cleanupConfiguration();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(reader.getPropertyValueForKey("other"), std::nullopt);
}

// Whatever is planted at the hand-off name is neither read nor written through: saving puts a
// fresh regular file of ours (0644) in its place; a directory there makes the save fail.
TEST(ConfigurationTest, PlantedEntriesAreReplacedNotFollowed) {
  namespace fs = std::filesystem;
  using Plant = std::function<void(const std::string& at, const std::string& victim)>;
  const std::vector<std::pair<const char*, Plant>> rows = {
      {"nothing", [](auto&, auto&) {}},
      {"link", [](auto& at, auto& victim) { fs::create_symlink(victim, at); }},
      {"dangling link", [](auto& at, auto&) { fs::create_symlink("/nonexistent/x", at); }},
      {"fifo", [](auto& at, auto&) { ::mkfifo(at.c_str(), 0666); }},
      {"garbage", [](auto& at, auto&) { testing::writeFile(at, "garbage", 0666); }},
      {"directory", [](auto& at, auto&) { fs::create_directory(at); }},
  };
  for (const auto& [name, plant] : rows) {
    SCOPED_TRACE(name);
    ScratchDirectory dir;
    const std::string file = dir / "handoff", victim = dir / "victim.plist";
    const std::string secret = plist("<key>secret</key><string>s</string>");
    testing::writeFile(victim, secret, 0600);
    plant(file, victim);
    auto loading = std::async(std::launch::async, [&] { return Configuration(file); });
    if (loading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));  // releases a blocked reader
      FAIL() << "loading blocked";
    }
    Configuration configuration = loading.get();
    EXPECT_EQ(configuration.getPropertyValueForKey("secret"), std::nullopt);
    configuration.setProperty(PlistValue("/a/rcp"), KEY_PATH_TO_RCP_HOME);
    const bool directory = std::string(name) == "directory";
    EXPECT_EQ(configuration.saveConfiguration(), !directory);
    EXPECT_EQ(testing::readFile(victim), secret);
    if (directory) {
      EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
      continue;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Configuration(file).getStringValueForKey(KEY_PATH_TO_RCP_HOME), "/a/rcp");
  }
}

}  // namespace
}  // namespace rcpinstall
