#include "foundation/properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using os::PlistDictionary;
using os::PlistValue;
using testing::ScratchDirectory;

const char* kStoreXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>hotfixVersion</key><string>2.1.0.3</string>
  <key>pathToProduct</key><string>/Applications/Orrery.app</string>
</dict>
</plist>
)";

bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// What each kind of file at the store's path gives, and what may be done with the store.
TEST(PropertiesTest, LoadingAndTheFailureTable) {
  struct Row {
    const char* name;
    std::optional<std::string> content;  // none: no file at all
    bool dictionary;
    bool fileKept;
  };
  const std::vector<Row> rows = {
      {"store", std::string(kStoreXml), true, true},
      {"missing", std::nullopt, false, false},
      {"not a plist", std::string("hotfixVersion=2.1\n"), false, true},
      {"empty file", std::string(), false, true},
      {"array root",
       std::string("<plist version=\"1.0\"><array><string>a</string></array></plist>"), false,
       true},
      {"truncated", std::string(kStoreXml).substr(0, 200), false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDirectory dir;
    const std::string file = dir / "framework.plist";
    const std::string other = dir / "other.plist";
    if (row.content) {
      ASSERT_TRUE(testing::writeFile(file, *row.content));
    }

    Properties store(file);
    EXPECT_EQ(store.hasDictionary(), row.dictionary);
    EXPECT_EQ(store.file(), row.fileKept ? std::optional(file) : std::nullopt);
    EXPECT_EQ(store.setProperty(PlistValue("1.0"), "hotfixVersion"), row.dictionary);
    EXPECT_EQ(store.savePropertiesToFile(), row.dictionary);
    EXPECT_EQ(store.savePropertiesToFile(other), row.dictionary);
    EXPECT_EQ(entryExists(other), row.dictionary);
    if (row.dictionary) {
      EXPECT_EQ(store.getStringForKey("hotfixVersion"), "1.0");
      Properties reread(file);
      EXPECT_EQ(reread.getStringForKey("hotfixVersion"), "1.0");
      EXPECT_EQ(reread.getStringForKey("pathToProduct"), "/Applications/Orrery.app");
    } else {
      EXPECT_EQ(store.getPropertyForKey("hotfixVersion"), std::nullopt);
      // A store that could not be read leaves whatever is on disk as it was.
      EXPECT_EQ(testing::readFile(file), row.content);
    }
  }
}

TEST(PropertiesTest, EmptyStoreWritesOnlyWhenGivenAPath) {
  ScratchDirectory dir;
  Properties store;
  EXPECT_TRUE(store.hasDictionary());
  EXPECT_EQ(store.file(), std::nullopt);
  EXPECT_TRUE(
      store.setProperty(PlistValue("/Applications/Orrery.app/Contents/rcp"), "pathToRcpHome"));
  EXPECT_TRUE(store.savePropertiesToFile());  // no target: nothing written, nothing lost
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  ASSERT_TRUE(store.savePropertiesToFile(dir / "new.plist"));
  EXPECT_EQ(Properties(dir / "new.plist").getStringForKey("pathToRcpHome"),
            "/Applications/Orrery.app/Contents/rcp");
}

TEST(PropertiesTest, SettingRemovingAndKeysThatAreAbsent) {
  Properties store;
  EXPECT_FALSE(store.setProperty(PlistValue("x"), std::nullopt));
  EXPECT_EQ(store.getPropertyForKey(std::nullopt), std::nullopt);
  store.removePropertyForKey(std::nullopt);  // no effect, no crash

  EXPECT_TRUE(store.setProperty(PlistValue("a"), "first"));
  EXPECT_TRUE(store.setProperty(PlistValue(int64_t{7}), "second"));
  EXPECT_TRUE(store.setProperty(PlistValue("b"), "first"));  // replaces in place
  EXPECT_EQ(*store.dictionary()->asDictionary(),
            (PlistDictionary{{"first", PlistValue("b")}, {"second", PlistValue(int64_t{7})}}));
  // A value that is not a string is kept, but is no string value.
  EXPECT_EQ(store.getPropertyForKey("second"), PlistValue(int64_t{7}));
  EXPECT_EQ(store.getStringForKey("second"), std::nullopt);

  EXPECT_TRUE(store.setProperty(std::nullopt, "first"));  // an absent value removes the entry
  EXPECT_TRUE(store.setProperty(std::nullopt, "never there"));
  EXPECT_EQ(store.getPropertyForKey("first"), std::nullopt);
  store.removePropertyForKey("second");
  EXPECT_EQ(store.getPropertyForKey("second"), std::nullopt);

  store.setProperty(PlistValue("c"), "third");
  store.removeAllProperties();
  EXPECT_TRUE(store.hasDictionary());
  EXPECT_TRUE(store.dictionary()->asDictionary()->empty());
}

TEST(PropertiesTest, FailedWriteIsReportedAndKeepsTheOldFile) {
  ScratchDirectory dir;
  ASSERT_TRUE(testing::writeFile(dir / "store.plist", kStoreXml));
  Properties store(dir / "store.plist");
  ASSERT_TRUE(store.setProperty(PlistValue("9.9"), "hotfixVersion"));

  EXPECT_FALSE(store.savePropertiesToFile(dir / "missing-dir/store.plist"));
  ASSERT_EQ(::mkdir((dir / "a-directory").c_str(), 0755), 0);
  EXPECT_FALSE(store.savePropertiesToFile(dir / "a-directory"));

  if (::geteuid() != 0) {  // root writes into read-only directories
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    EXPECT_FALSE(store.savePropertiesToFile());
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(testing::readFile(dir / "store.plist"), std::string(kStoreXml));
  }
}

TEST(PropertiesTest, TildeMeansTheHomeDirectory) {
  ScratchDirectory home;
  const char* saved = std::getenv("HOME");
  const std::optional<std::string> oldHome =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("HOME", home.path().c_str(), 1);

  Properties store;
  store.setProperty(PlistValue("yes"), "written");
  EXPECT_TRUE(store.savePropertiesToFile("~/prefs.plist"));
  Properties reread("~/prefs.plist");
  EXPECT_EQ(reread.file(), home / "prefs.plist");
  EXPECT_EQ(reread.getStringForKey("written"), "yes");

  if (oldHome)
    ::setenv("HOME", oldHome->c_str(), 1);
  else
    ::unsetenv("HOME");
}

// XML property lists give dates in whole seconds; a binary one may hold fractions.
PlistValue inWholeSeconds(PlistValue value) {
  if (const os::PlistDate* date = value.asDate())
    return PlistValue(os::PlistDate{std::floor(date->secondsSince2001)});
  if (os::PlistArray* array = value.asArray())
    for (PlistValue& item : *array) item = inWholeSeconds(std::move(item));
  if (PlistDictionary* dictionary = value.asDictionary())
    for (auto& entry : *dictionary) entry.second = inWholeSeconds(std::move(entry.second));
  return value;
}

// Stores written on the target system (binary) are read, and what we write back holds the
// same values for another reader.
TEST(PropertiesTest, CorpusStoresSurviveALoadAndSave) {
  std::optional<std::string> python = testing::python3();
  for (const char* name : {"global_defaults.binary.plist", "symbolic_hotkeys.binary.plist"}) {
    SCOPED_TRACE(name);
    ScratchDirectory dir;
    const std::string original = testing::corpusDir() + "/plists/" + name;
    Properties store(original);
    ASSERT_TRUE(store.hasDictionary());
    EXPECT_FALSE(store.dictionary()->asDictionary()->empty());
    ASSERT_TRUE(store.savePropertiesToFile(dir / "copy.plist"));
    Properties copy(dir / "copy.plist");
    ASSERT_TRUE(copy.hasDictionary());
    EXPECT_EQ(*copy.dictionary(), inWholeSeconds(*store.dictionary()));
    if (!python) continue;
    testing::RunResult same = testing::runProgram(
        {*python, "-c",
         "import plistlib,sys,datetime\n"
         "def whole(v):\n"
         "  if isinstance(v,datetime.datetime): return v.replace(microsecond=0)\n"
         "  if isinstance(v,list): return [whole(x) for x in v]\n"
         "  if isinstance(v,dict): return {k: whole(x) for k,x in v.items()}\n"
         "  return v\n"
         "a=plistlib.load(open(sys.argv[1],'rb')); b=plistlib.load(open(sys.argv[2],'rb'))\n"
         "sys.exit(0 if whole(a)==b else 'differs')",
         original, dir / "copy.plist"});
    EXPECT_EQ(same.exitStatus, 0) << same.err;
  }
}

// A store written by Python's plistlib, in both encodings, is read; what we save from it is
// read by plistlib with every value unchanged.
TEST(PropertiesTest, InteroperatesWithPlistlib) {
  std::optional<std::string> python = testing::python3();
  if (!python) GTEST_SKIP() << "no python3 for the plistlib interop check";
  const std::string values =
      "import plistlib,sys,datetime\n"
      "d={'pathToRcpHome':'/Applications/Orrery.app/Contents/rcp',"
      "'P_RCPDATA':'${env.HOME}/Library/Application Support/Orrery',"
      "'text':'Gr\\u00fc\\u00dfe \\u2713 <&>','negative':-42,'big':2**40,'real':1.5,"
      "'flag':True,'data':b'\\x00\\x01\\xff','date':datetime.datetime(2020,1,2,3,4,5),"
      "'list':['a',1,{'k':'v'}],'nested':{'inner':{'deep':''}}}\n";
  for (const char* format : {"FMT_XML", "FMT_BINARY"}) {
    SCOPED_TRACE(format);
    ScratchDirectory dir;
    testing::RunResult written = testing::runProgram(
        {*python, "-c",
         values + "plistlib.dump(d,open(sys.argv[1],'wb'),fmt=plistlib." + format + ")",
         dir / "in.plist"});
    ASSERT_EQ(written.exitStatus, 0) << written.err;

    Properties store(dir / "in.plist");
    ASSERT_TRUE(store.hasDictionary());
    EXPECT_EQ(store.getStringForKey("text"), "Gr\u00fc\u00dfe \u2713 <&>");
    EXPECT_EQ(store.getPropertyForKey("negative"), PlistValue(int64_t{-42}));
    EXPECT_EQ(store.getPropertyForKey("big"), PlistValue(int64_t{1} << 40));
    EXPECT_EQ(store.getPropertyForKey("data"),
              PlistValue(os::PlistData{std::string("\0\1\xff", 3)}));
    EXPECT_EQ(store.getPropertyForKey("date"), PlistValue(os::PlistDate{599627045.0}));

    ASSERT_TRUE(store.setProperty(PlistValue("yes"), "added"));
    ASSERT_TRUE(store.savePropertiesToFile(dir / "out.plist"));
    EXPECT_THAT(*testing::readFile(dir / "out.plist"), ::testing::StartsWith("<?xml"));
    testing::RunResult read =
        testing::runProgram({*python, "-c",
                             values + "d['added']='yes'\n"
                                      "r=plistlib.load(open(sys.argv[1],'rb'))\n"
                                      "sys.exit(0 if r==d else 'differs: %r' % r)",
                             dir / "out.plist"});
    EXPECT_EQ(read.exitStatus, 0) << read.err;
  }
}

}  // namespace
}  // namespace rcpinstall
