#include "os/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "os/path.h"
#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

std::string utf16(std::u16string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  }
  return out;
}

TEST(StringsTableTest, ReadsTheTextForm) {
  struct Row {
    const char* name;
    std::string bytes;
    StringsTable expected;
  };
  const std::vector<Row> rows = {
      {"plain", "\"Title\" = \"Result\";\n\"b\"=\"c\";", {{"Title", "Result"}, {"b", "c"}}},
      {"comments",
       "/* block\n \"x\" = \"y\"; */\n// line \"k\" = \"v\";\n\"a\" /* in */ = // end\n \"b\";",
       {{"a", "b"}}},
      {"escapes",
       R"("k" = "q\" s\\ n\n t\t r\r u\U00e9 \'x\' \z";)",
       {{"k", "q\" s\\ n\n t\t r\r u\xC3\xA9 'x' z"}}},
      {"surrogate pair and lone half",
       R"("k" = "\UD83D\UDE00 \UDE00";)",
       {{"k", "\xF0\x9F\x98\x80 \xEF\xBF\xBD"}}},
      {"octal", R"("k" = "\101\0612";)", {{"k", "A12"}}},
      {"percent signs stay", "\"k\" = \"%@ of %d%%\";", {{"k", "%@ of %d%%"}}},
      {"key alone", "\"Continue\";", {{"Continue", "Continue"}}},
      {"bare words and single quotes",
       R"(Title = Result.v2; 'a b' = 'it\'s "so"';)",
       {{"Title", "Result.v2"}, {"a b", "it's \"so\""}}},
      {"braces", "{ \"a\" = \"1\"; }\n", {{"a", "1"}}},
      {"last wins", "\"a\" = \"1\"; \"a\" = \"2\";", {{"a", "2"}}},
      {"empty", "", {}},
      {"only comments", "/* nothing */ // here", {}},
      {"utf-8 with mark", "\xEF\xBB\xBF\"k\" = \"\xE6\x97\xA5\";", {{"k", "\xE6\x97\xA5"}}},
      {"utf-16 little-endian",
       utf16(u"\"k\" = \"\u65e5\U0001F600\";", false),
       {{"k", "\xE6\x97\xA5\xF0\x9F\x98\x80"}}},
      {"utf-16 big-endian", utf16(u"/* c */\"k\"=\"v\";", true), {{"k", "v"}}},
      {"xml property list",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
       "<key>Title</key><string>R\xC3\xA9sultat</string><key>n</key><integer>3</integer>"
       "</dict></plist>",
       {{"Title", "R\xC3\xA9sultat"}}},
      {"xml property list in utf-16",
       utf16(u"<plist version=\"1.0\"><dict><key>k</key><string>v</string></dict></plist>", false),
       {{"k", "v"}}},
  };
  for (const Row& row : rows) {
    std::optional<StringsTable> table = parseStringsTable(row.bytes);
    ASSERT_TRUE(table) << row.name;
    EXPECT_EQ(*table, row.expected) << row.name;
  }
}

TEST(StringsTableTest, RefusesBrokenTables) {
  struct Row {
    const char* name;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"unterminated string", "\"a\" = \"b;"},
      {"unterminated comment", "\"a\" = \"b\"; /* open"},
      {"missing semicolon", "\"a\" = \"b\"\n\"c\" = \"d\";"},
      {"missing value", "\"a\" = ;"},
      {"array value", "\"a\" = (\"b\");"},
      {"stray brace", "\"a\" = \"b\"; }"},
      {"unclosed brace", "{ \"a\" = \"b\";"},
      {"text after braces", "{ \"a\" = \"b\"; } \"c\";"},
      {"invalid utf-8", "\"a\" = \"\xC3\x28\";"},
      {"overlong utf-8", "\"a\" = \"\xC0\xAF\";"},
      {"odd utf-16", std::string("\xFF\xFE\x22\x00\x61", 5)},
      {"lone utf-16 surrogate", utf16(u"\"a\"=\"", false) + std::string("\x3D\xD8", 2)},
      {"binary property list that is an array", std::string("bplist00\xA0\x08", 10)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(parseStringsTable(row.bytes), std::nullopt) << row.name;
  }
}

TEST(StringsTableTest, ReadsRealTables) {
  const std::string dir = testing::corpusDir() + "/strings/";
  std::optional<std::string> english = testing::readFile(dir + "en.Localizable.strings");
  std::optional<std::string> chinese = testing::readFile(dir + "zh-Hans.Localizable.strings");
  ASSERT_TRUE(english && chinese);
  std::optional<StringsTable> en = parseStringsTable(*english);
  std::optional<StringsTable> zh = parseStringsTable(*chinese);
  ASSERT_TRUE(en && zh);
  EXPECT_EQ(en->at("pic.png"), "pic_en.png");
  EXPECT_EQ(en->at("buttonInfo"), "change Language");
  EXPECT_EQ(zh->at("buttonInfo"), "\xE5\x88\x87\xE6\x8D\xA2\xE8\xAF\xAD\xE8\xA8\x80");
  EXPECT_EQ(en->size(), zh->size());

  // A binary property list written by the target system: its text entries.
  std::optional<std::string> binary =
      testing::readFile(testing::corpusDir() + "/plists/global_defaults.binary.plist");
  ASSERT_TRUE(binary);
  std::optional<StringsTable> defaults = parseStringsTable(*binary);
  ASSERT_TRUE(defaults);
  EXPECT_TRUE(defaults->contains("AppleLocale"));
}

TEST(LocalizationTest, ChoosesThePreferredAvailableLocalization) {
  struct Row {
    std::vector<std::string> preferred;
    std::vector<std::string> available;
    std::string expected;
  };
  const std::vector<std::string> ours = {"de", "en", "fr", "ja"};
  const std::vector<Row> rows = {
      {{"de"}, ours, "de"},
      {{"de-DE"}, ours, "de"},
      {{"de_CH"}, ours, "de"},
      {{"FR"}, ours, "fr"},
      {{"ja-JP"}, ours, "ja"},
      {{"pt-BR", "fr"}, ours, "fr"},
      {{"zh-Hans-CN"}, {"en", "zh-Hans", "zh"}, "zh-Hans"},
      {{"zh_Hant"}, {"en", "zh-Hans", "zh"}, "zh"},
      {{"en-GB"}, {"en", "en_GB"}, "en_GB"},
      {{"de"}, {"English", "German"}, "German"},
      {{"it"}, ours, "en"},
      {{}, ours, "en"},
      {{"de"}, {}, "en"},
      {{""}, ours, "en"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(chooseLocalization(row.preferred, row.available), row.expected)
        << (row.preferred.empty() ? "(none)" : row.preferred.front());
  }
}

TEST(LocalizationTest, PreferredLanguagesComeFromLanguagesThenLocale) {
  ScratchDirectory home("home");
  const std::string preferences = home / "Library/Preferences";
  std::filesystem::create_directories(preferences);
  const std::string system = home / "system.plist";

  EXPECT_TRUE(preferredLanguagesFromPreferences(home.path(), system).empty());

  ASSERT_TRUE(writePlistFile(system, PlistValue(PlistDictionary{{"AppleLocale", "de_DE"}})));
  EXPECT_EQ(preferredLanguagesFromPreferences(home.path(), system),
            std::vector<std::string>{"de_DE"});

  ASSERT_TRUE(writePlistFile(
      preferences + "/.GlobalPreferences.plist",
      PlistValue(PlistDictionary{
          {"AppleLanguages", PlistValue(PlistArray{"fr-CA", PlistValue(3), "", "ja"})},
          {"AppleLocale", "en_US@calendar=japanese"}})));
  EXPECT_EQ(preferredLanguagesFromPreferences(home.path(), system),
            (std::vector<std::string>{"fr-CA", "ja", "en_US"}));
}

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeTable("en", "Provision", "\"Title\" = \"Result\";\n\"empty\" = \"\";");
    writeTable("de", "Provision", "\"Title\" = \"Ergebnis\";");
    writeTable("de", "Localizable", "\"Hello\" = \"Hallo\";");
    writeTable("de", "Broken", "\"Title\" = \"Ergebnis");
  }
  void writeTable(const std::string& language, const std::string& table, const std::string& text) {
    const std::string dir = bundle_ / ("Contents/Resources/" + language + ".lproj");
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(testing::writeFile(dir + "/" + table + ".strings", text));
  }
  ScratchDirectory bundle_{"pane.bundle"};
};

TEST_F(BundleTest, LocalizedStringLooksUpTheChosenTable) {
  Bundle german(bundle_.path(), {"de-AT"});
  EXPECT_EQ(german.localization(), "de");
  EXPECT_EQ(german.localizedString("Title", "", "Provision"), "Ergebnis");
  EXPECT_EQ(german.localizedString("Hello", "", ""), "Hallo");  // the default table
  EXPECT_EQ(german.localizedString("Missing", "", "Provision"), "Missing");
  EXPECT_EQ(german.localizedString("Missing", "Fallback", "Provision"), "Fallback");
  EXPECT_EQ(german.localizedString("Title", "", "NoSuchTable"), "Title");
  EXPECT_EQ(german.localizedString("Title", "", "Broken"), "Title");

  Bundle other(bundle_.path(), {"it", "es"});
  EXPECT_EQ(other.localization(), "en");
  EXPECT_EQ(other.localizedString("Title", "", "Provision"), "Result");
  EXPECT_EQ(other.localizedString("empty", "value", "Provision"), "");  // present, though empty
}

TEST_F(BundleTest, TablesAreReadOnce) {
  Bundle bundle(bundle_.path(), {"en"});
  EXPECT_EQ(bundle.localizedString("Title", "", "Provision"), "Result");
  writeTable("en", "Provision", "\"Title\" = \"Changed\";");
  EXPECT_EQ(bundle.localizedString("Title", "", "Provision"), "Result");
  EXPECT_EQ(Bundle(bundle_.path(), {"en"}).localizedString("Title", "", "Provision"), "Changed");
}

TEST_F(BundleTest, ExecutablePathFromInfoPlistOrFolderName) {
  EXPECT_EQ(Bundle("/x/outcomepane.bundle").executablePath(),
            "/x/outcomepane.bundle/Contents/MacOS/outcomepane.so");
  EXPECT_EQ(Bundle(bundle_.path()).infoDictionary(), std::nullopt);
  ASSERT_TRUE(writePlistFile(bundle_ / "Contents/Info.plist",
                             PlistValue(PlistDictionary{{"CFBundleExecutable", "pane"}})));
  EXPECT_EQ(Bundle(bundle_.path()).executablePath(), bundle_ / "Contents/MacOS/pane.so");
  ASSERT_TRUE(writePlistFile(bundle_ / "Contents/Info.plist",
                             PlistValue(PlistDictionary{{"CFBundleExecutable", "../../evil"}})));
  EXPECT_EQ(
      lastComponent(Bundle(bundle_.path()).executablePath()),
      lastComponent(bundle_.path()).substr(0, lastComponent(bundle_.path()).rfind('.')) + ".so");
}

TEST(LoadedCodeTest, LoadsSharedObjectsAndReportsWhyNot) {
  std::string error;
  EXPECT_EQ(LoadedCode::load("/nonexistent/pane.so", &error), std::nullopt);
  EXPECT_NE(error.find("/nonexistent/pane.so"), std::string::npos) << error;

  ScratchDirectory dir("code");
  ASSERT_TRUE(testing::writeFile(dir / "text.so", "not a shared object"));
  error.clear();
  EXPECT_EQ(LoadedCode::load(dir / "text.so", &error), std::nullopt);
  EXPECT_FALSE(error.empty());

  std::optional<LoadedCode> math = LoadedCode::load("libm.so.6", &error);
  ASSERT_TRUE(math) << error;
  EXPECT_NE(math->symbol("cos"), nullptr);
  EXPECT_EQ(math->symbol("no_such_function_here"), nullptr);

  // Code that is not inside a bundle folder has no bundle.
  static const char anchor = 0;
  EXPECT_EQ(Bundle::bundleContaining(&anchor), std::nullopt);
  EXPECT_EQ(Bundle::bundleContaining(nullptr), std::nullopt);
}

}  // namespace
}  // namespace rcpinstall::os
