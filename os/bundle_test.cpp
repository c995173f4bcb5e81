#include "os/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

std::string utf16le(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t unit : text) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

TEST(StringsTableTest, ReadsEveryForm) {
  struct Row {
    const char* name;
    std::string bytes;
    StringsTable expected;
  };
  const std::vector<Row> rows = {
      {"comments",
       "/* \"x\" = \"y\"; */\n// \"k\" = \"v\";\n\"a\" /* in */ = \"b\";",
       {{"a", "b"}}},
      {"escapes",
       R"("k" = "q\" s\\ n\n t\t u\U00e9 \UD83D\UDE00 \UDE00 \101 \z";)",
       {{"k", "q\" s\\ n\n t\t u\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD A z"}}},
      {"key alone, bare words, braces, last wins",
       "{ \"Continue\"; Title = v2.x; 'a' = '1'; 'a' = \"2\"; }",
       {{"Continue", "Continue"}, {"Title", "v2.x"}, {"a", "2"}}},
      {"utf-8 with mark", "\xEF\xBB\xBF\"k\" = \"\xE6\x97\xA5\";", {{"k", "\xE6\x97\xA5"}}},
      {"utf-16 with mark",
       utf16le(u"\"k\" = \"\u65e5\U0001F600\";"),
       {{"k", "\xE6\x97\xA5\xF0\x9F\x98\x80"}}},
      {"xml property list",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>T</key><string>R</string>"
       "<key>n</key><integer>3</integer></dict></plist>",
       {{"T", "R"}}},
  };
  for (const Row& row : rows) EXPECT_EQ(parseStringsTable(row.bytes), row.expected) << row.name;

  for (const std::string& broken :
       {std::string("\"a\" = \"b;"), std::string("\"a\" = \"b\"; /* open"),
        std::string("\"a\" = \"b\"\n\"c\" = \"d\";"), std::string("\"a\" = ;"),
        std::string("\"a\" = (\"b\");"), std::string("{ \"a\" = \"b\";"),
        std::string("\"a\" = \"b\"; }"), std::string("\"a\" = \"\xC0\xAF\";"),
        std::string("\xFF\xFE\x22\x00\x61", 5)}) {
    EXPECT_EQ(parseStringsTable(broken), std::nullopt) << broken;
  }
}

TEST(StringsTableTest, ReadsRealTables) {
  const std::string dir = testing::corpusDir() + "/strings/";
  const std::optional<StringsTable> en =
      parseStringsTable(testing::readFile(dir + "en.Localizable.strings").value_or(""));
  const std::optional<StringsTable> zh =
      parseStringsTable(testing::readFile(dir + "zh-Hans.Localizable.strings").value_or(""));
  ASSERT_TRUE(en && zh);
  EXPECT_EQ(en->at("buttonInfo"), "change Language");
  EXPECT_EQ(zh->at("buttonInfo"), "\xE5\x88\x87\xE6\x8D\xA2\xE8\xAF\xAD\xE8\xA8\x80");
  EXPECT_EQ(en->size(), zh->size());
  // A binary property list written by the target system gives its text entries.
  const std::optional<StringsTable> binary = parseStringsTable(
      testing::readFile(testing::corpusDir() + "/plists/global_defaults.binary.plist")
          .value_or(""));
  ASSERT_TRUE(binary);
  EXPECT_TRUE(binary->contains("AppleLocale"));
}

TEST(BundleTest, ChoosesTheLocalizationAndLooksUpItsTables) {
  struct Row {
    std::vector<std::string> preferred;
    std::vector<std::string> available;
    std::string expected;
  };
  const std::vector<std::string> ours = {"de", "en", "fr", "ja"};
  const std::vector<Row> rows = {
      {{"de_CH"}, ours, "de"},
      {{"FR"}, ours, "fr"},
      {{"pt-BR", "ja-JP"}, ours, "ja"},
      {{"zh-Hant"}, {"zh-Hans", "zh"}, "zh"},
      {{"de"}, {"German"}, "German"},
      {{"it"}, ours, "en"},
      {{}, ours, "en"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(chooseLocalization(row.preferred, row.available), row.expected);
  }

  testing::ScratchDirectory bundle("pane.bundle");
  for (const auto& [language, text] : {std::pair{"en", "\"Title\" = \"Result\"; \"empty\" = \"\";"},
                                       std::pair{"de", "\"Title\" = \"Ergebnis\";"}}) {
    const std::string dir = bundle / ("Contents/Resources/" + std::string(language) + ".lproj");
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(testing::writeFile(dir + "/Provision.strings", text));
  }
  const Bundle german(bundle.path(), {"de-AT"});
  EXPECT_EQ(german.localizedString("Title", "", "Provision"), "Ergebnis");
  EXPECT_EQ(german.localizedString("Missing", "", "Provision"), "Missing");
  EXPECT_EQ(german.localizedString("Missing", "Fallback", "Provision"), "Fallback");
  EXPECT_EQ(german.localizedString("Title", "", "NoSuchTable"), "Title");
  const Bundle other(bundle.path(), {"it"});
  EXPECT_EQ(other.localizedString("Title", "", "Provision"), "Result");
  EXPECT_EQ(other.localizedString("empty", "value", "Provision"), "");  // present, though empty

  // Code that is not inside a bundle folder has no bundle.
  static const char anchor = 0;
  EXPECT_EQ(Bundle::bundleContaining(&anchor), std::nullopt);
}

}  // namespace
}  // namespace rcpinstall::os
