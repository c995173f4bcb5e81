#include "os/plist_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>

#include "tests/support/testing.h"

namespace rcpinstall::os {

// Failures show the value as XML rather than as bytes.
void PrintTo(const PlistValue& value, std::ostream* out) {
  *out << serializePlistXml(value);
}

namespace {

using testing::ScratchDirectory;

// One value of every kind, nested, with keys out of alphabetical order.
PlistValue everyKind() {
  PlistDictionary inner{{"zeta", PlistValue(1)}, {"alpha", PlistValue(2)}};
  PlistArray list{PlistValue("x"), PlistValue(int64_t{-7}), PlistValue(PlistDictionary{})};
  return PlistValue(PlistDictionary{
      {"text", PlistValue("caf\xc3\xa9 <&> \"'")},
      {"negative", PlistValue(int64_t{-2147483648LL})},
      {"big", PlistValue(int64_t{9007199254740993LL})},
      {"zero", PlistValue(0)},
      {"real", PlistValue(0.1)},
      {"huge", PlistValue(1e300)},
      {"yes", PlistValue(true)},
      {"no", PlistValue(false)},
      {"when", PlistValue(PlistDate{612000000})},
      {"before2001", PlistValue(PlistDate{-86400})},
      {"bytes", PlistValue(PlistData{std::string("\x00\x01\xff\n", 4)})},
      {"empty", PlistValue(PlistData{})},
      {"list", PlistValue(list)},
      {"inner", PlistValue(inner)},
      {"", PlistValue("empty key")},
  });
}

PlistValue wholeSecondDates(const PlistValue& value) {
  if (const PlistDate* date = value.asDate()) {
    return PlistValue(PlistDate{std::trunc(date->secondsSince2001)});
  }
  if (const PlistArray* array = value.asArray()) {
    PlistArray items;
    for (const PlistValue& item : *array) items.push_back(wholeSecondDates(item));
    return PlistValue(items);
  }
  if (const PlistDictionary* dict = value.asDictionary()) {
    PlistDictionary entries;
    for (const auto& [key, item] : *dict) entries.emplace_back(key, wholeSecondDates(item));
    return PlistValue(entries);
  }
  return value;
}

TEST(PlistValueTest, DictionaryHelpersKeepInsertionOrder) {
  PlistValue dict;
  EXPECT_TRUE(dict.set("b", 1));
  EXPECT_TRUE(dict.set("a", 2));
  EXPECT_TRUE(dict.set("b", "replaced"));
  ASSERT_EQ(dict.asDictionary()->size(), 2u);
  EXPECT_EQ(dict.asDictionary()->front().first, "b");
  EXPECT_EQ(*dict.find("b")->asString(), "replaced");
  EXPECT_TRUE(dict.erase("b"));
  EXPECT_FALSE(dict.erase("b"));
  EXPECT_EQ(dict.find("b"), nullptr);

  PlistValue text("not a dictionary");
  EXPECT_FALSE(text.set("k", 1));
  EXPECT_EQ(text.find("k"), nullptr);
  EXPECT_FALSE(text.erase("k"));
}

TEST(PlistValueTest, XmlRoundTripOfEveryKind) {
  PlistValue value = everyKind();
  std::string xml = serializePlistXml(value);
  EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
  EXPECT_NE(xml.find("<integer>-2147483648</integer>"), std::string::npos);
  std::optional<PlistValue> back = parsePlist(xml);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, value);
  // Key order survives, also inside nested dictionaries.
  std::vector<std::string> keys;
  for (const auto& entry : *back->asDictionary()) keys.push_back(entry.first);
  EXPECT_EQ(keys.front(), "text");
  EXPECT_EQ(back->find("inner")->asDictionary()->front().first, "zeta");
}

TEST(PlistValueTest, RootsThatAreNotDictionaries) {
  for (const PlistValue& value :
       {PlistValue("just text"), PlistValue(42), PlistValue(PlistArray{PlistValue(true)})}) {
    std::optional<PlistValue> back = parsePlist(serializePlistXml(value));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, value);
  }
}

TEST(PlistValueTest, ParseRefusesWhatIsNoPropertyList) {
  const char* rows[] = {
      "",
      "hello world",
      "key=value\n",
      "bplist00",  // a binary header and nothing behind it
      "bplist00\x01\x02\x03garbage garbage garbage garbage garbage",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
  };
  for (const char* row : rows) EXPECT_EQ(parsePlist(row), std::nullopt) << row;
}

TEST(PlistValueTest, BinaryTextsThatAreNotTheirKindAreRefused) {
  // As the XML reader refuses "&#0;", so the binary reader refuses a text that holds U+0000:
  // a key, in UTF-16 or ASCII, and a value (each as Python's plistlib writes it).
  const std::string header("bplist00\xd1\x01\x02", 11);
  const std::string trailer = std::string("\x00\x00\x00\x00\x00\x00\x01\x01", 8) +
                              std::string("\x00\x00\x00\x00\x00\x00\x00\x03", 8) +
                              std::string(8, '\0') + std::string("\x00\x00\x00\x00\x00\x00\x00", 7);
  const std::string rows[] = {
      header + std::string("\x62\x00\xe9\x00\x00\x10\x01\x08\x0b\x10", 10) + trailer + "\x12",
      header + std::string("\x52\x61\x00\x10\x01\x08\x0b\x0e", 8) + trailer + "\x10",
      header + std::string("\x51\x6b\x62\x00\xe9\x00\x00\x08\x0b\x0d", 10) + trailer + "\x12",
  };
  for (const std::string& bytes : rows) EXPECT_EQ(parsePlist(bytes), std::nullopt);
  // The same lists without the NUL read as they are.
  std::string key = rows[0];
  key[15] = 'x';
  EXPECT_EQ(parsePlist(key), PlistValue(PlistDictionary{{"\xc3\xa9x", PlistValue(1)}}));
  std::string value = rows[2];
  value[17] = 'y';
  EXPECT_EQ(parsePlist(value), PlistValue(PlistDictionary{{"k", PlistValue("\xc3\xa9y")}}));
  // An ASCII text holds ASCII only, as on the target system.
  std::string ascii = rows[1];
  ascii[13] = '\x8a';
  EXPECT_EQ(parsePlist(ascii), std::nullopt);
  ascii[13] = 'b';
  EXPECT_EQ(parsePlist(ascii), PlistValue(PlistDictionary{{"ab", PlistValue(1)}}));
  // A trailer that points outside the bytes is no property list either.
  std::string outside = rows[0];
  outside[outside.size() - 1] = '\x7f';
  EXPECT_EQ(parsePlist(outside), std::nullopt);
}

TEST(PlistValueTest, DuplicateKeysKeepOneEntry) {
  std::optional<PlistValue> value = parsePlist(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><integer>1</integer>"
      "<key>a</key><string>x</string></dict></plist>");
  ASSERT_TRUE(value);
  ASSERT_EQ(value->asDictionary()->size(), 1u);
  EXPECT_EQ(*value->find("a")->asString(), "x");
}

TEST(PlistValueTest, FilesAreWrittenAsXmlAndReadBack) {
  ScratchDirectory dir("plist");
  const std::string path = dir / "f.plist";
  EXPECT_EQ(readPlistFile(path), std::nullopt);
  ASSERT_TRUE(writePlistFile(path, everyKind()));
  EXPECT_EQ(testing::readFile(path)->rfind("<?xml", 0), 0u);
  EXPECT_EQ(readPlistFile(path), everyKind());
  ASSERT_TRUE(testing::writeFile(path, "garbage"));
  EXPECT_EQ(readPlistFile(path), std::nullopt);
  EXPECT_FALSE(writePlistFile(dir / "missing/f.plist", everyKind()));
}

TEST(PlistValueTest, CorpusBinaryPlistsParse) {
  std::optional<PlistValue> global =
      readPlistFile(testing::corpusDir() + "/plists/global_defaults.binary.plist");
  ASSERT_TRUE(global);
  ASSERT_NE(global->find("AppleLocale"), nullptr);
  EXPECT_NE(global->find("AppleLocale")->asString(), nullptr);
  const PlistValue* languages = global->find("AppleLanguages");
  ASSERT_NE(languages, nullptr);
  ASSERT_NE(languages->asArray(), nullptr);
  EXPECT_FALSE(languages->asArray()->empty());
  // Binary dates keep their microseconds.
  const PlistValue* when = global->find("NSSpellCheckerInputAnalyticsTime");
  ASSERT_NE(when, nullptr);
  ASSERT_NE(when->asDate(), nullptr);
  double seconds = when->asDate()->secondsSince2001;
  EXPECT_NEAR(seconds - std::trunc(seconds), 0.917067, 1e-5);

  std::optional<PlistValue> hotkeys =
      readPlistFile(testing::corpusDir() + "/plists/symbolic_hotkeys.binary.plist");
  ASSERT_TRUE(hotkeys);
  ASSERT_NE(hotkeys->asDictionary(), nullptr);
  EXPECT_FALSE(hotkeys->asDictionary()->empty());
  // Written out as XML and read again, nothing changes but the fractions of seconds, which
  // the XML date form does not hold.
  EXPECT_EQ(parsePlist(serializePlistXml(*hotkeys)), hotkeys);
  EXPECT_EQ(parsePlist(serializePlistXml(*global)), wholeSecondDates(*global));
}

// Files written by Python's plistlib (the target system's format, independently
// implemented), in XML and binary form, read here; and XML written here read there.
class PlistInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    python_ = testing::python3();
    if (!python_) GTEST_SKIP() << "python3 not found";
  }
  testing::RunResult python(const std::string& script, const std::vector<std::string>& args) {
    std::vector<std::string> argv{*python_, "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProgram(argv);
  }
  std::optional<std::string> python_;
};

const char* kPythonWriter = R"(
import plistlib, sys, datetime
value = {
  'text': 'caf\u00e9 <&>',
  'negative': -5,
  'min32': -2147483648,
  'big': 2**62,
  'real': 2.5,
  'yes': True,
  'no': False,
  'when': datetime.datetime(2020, 5, 17, 12, 30, 45),
  'before2001': datetime.datetime(1999, 12, 31, 0, 0, 0),
  'bytes': b'\x00\x01\xff',
  'list': ['a', 1, {'k': 'v'}],
  'zlast': {'b': 1, 'a': 2},
}
fmt = plistlib.FMT_BINARY if sys.argv[2] == 'binary' else plistlib.FMT_XML
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(value, f, fmt=fmt, sort_keys=False)
)";

PlistValue pythonExpected() {
  // 2020-05-17T12:30:45Z and 1999-12-31T00:00:00Z in seconds since 2001-01-01T00:00:00Z.
  const double when = 1589718645.0 - 978307200.0;
  const double before = 946598400.0 - 978307200.0;
  return PlistValue(PlistDictionary{
      {"text", PlistValue("caf\xc3\xa9 <&>")},
      {"negative", PlistValue(int64_t{-5})},
      {"min32", PlistValue(int64_t{-2147483648LL})},
      {"big", PlistValue(int64_t{1} << 62)},
      {"real", PlistValue(2.5)},
      {"yes", PlistValue(true)},
      {"no", PlistValue(false)},
      {"when", PlistValue(PlistDate{when})},
      {"before2001", PlistValue(PlistDate{before})},
      {"bytes", PlistValue(PlistData{std::string("\x00\x01\xff", 3)})},
      {"list", PlistValue(PlistArray{PlistValue("a"), PlistValue(1),
                                     PlistValue(PlistDictionary{{"k", PlistValue("v")}})})},
      {"zlast", PlistValue(PlistDictionary{{"b", PlistValue(1)}, {"a", PlistValue(2)}})},
  });
}

TEST_F(PlistInteropTest, ReadsWhatPlistlibWrites) {
  ScratchDirectory dir("interop");
  for (const char* format : {"xml", "binary"}) {
    const std::string path = dir / (std::string(format) + ".plist");
    testing::RunResult run = python(kPythonWriter, {path, format});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::optional<PlistValue> value = readPlistFile(path);
    ASSERT_TRUE(value) << format;
    EXPECT_EQ(*value, pythonExpected()) << format << "\n" << serializePlistXml(*value);
  }
}

TEST_F(PlistInteropTest, PlistlibReadsWhatIsWrittenHere) {
  ScratchDirectory dir("interop");
  const std::string path = dir / "ours.plist";
  ASSERT_TRUE(writePlistFile(path, everyKind()));
  const char* check = R"(
import plistlib, sys, datetime
with open(sys.argv[1], 'rb') as f:
    v = plistlib.load(f)
expect = {
  'text': 'caf\u00e9 <&> "\'', 'negative': -2147483648, 'big': 9007199254740993, 'zero': 0,
  'real': 0.1, 'huge': 1e300, 'yes': True, 'no': False,
  'when': datetime.datetime(2020, 5, 24, 8, 0, 0),
  'before2001': datetime.datetime(2000, 12, 31, 0, 0, 0),
  'bytes': b'\x00\x01\xff\n', 'empty': b'', 'list': ['x', -7, {}],
  'inner': {'zeta': 1, 'alpha': 2}, '': 'empty key',
}
for k in expect:
    if v.get(k) != expect[k]:
        print('mismatch', repr(k), repr(v.get(k)), repr(expect[k])); sys.exit(1)
if list(v.keys()) != list(expect.keys()) or list(v['inner'].keys()) != ['zeta', 'alpha']:
    print('order', list(v.keys())); sys.exit(1)
)";
  testing::RunResult run = python(check, {path});
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
}

}  // namespace
}  // namespace rcpinstall::os
