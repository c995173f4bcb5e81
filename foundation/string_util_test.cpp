#include "foundation/string_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace rcpinstall {
namespace {

using StringUtil::toUtf16;
using StringUtil::toUtf8;

TEST(StringUtilTest, Utf16ConversionRoundTripsAndRepairsBadBytes) {
  const std::string mixed = "a\u00e9\u4e2d\U0001F600z";
  const std::u16string units = toUtf16(mixed);
  EXPECT_EQ(units, u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(units.size(), 6u);  // the emoji is two code units
  EXPECT_EQ(toUtf8(units), mixed);

  // A lone surrogate survives the trip through UTF-8 and back.
  const std::u16string lone = {0xD83D};
  EXPECT_EQ(toUtf16(toUtf8(lone)), lone);
  // Stray, truncated and overlong bytes become U+FFFD one byte at a time.
  EXPECT_EQ(toUtf16("a\xff"
                    "b"),
            u"a\uFFFDb");
  EXPECT_EQ(toUtf16("\xe4\xb8"), u"\uFFFD\uFFFD");
  EXPECT_EQ(toUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");
}

TEST(StringUtilTest, CharAtIndexCountsUtf16Units) {
  struct Row {
    int32_t index;
    std::optional<std::string> text;
    std::optional<std::u16string> expected;
  };
  const Row rows[] = {
      {0, "abc", u"a"},
      {2, "abc", u"c"},
      {3, "abc", std::nullopt},
      {-1, "abc", std::nullopt},
      {0, "", std::nullopt},
      {0, std::nullopt, std::nullopt},
      {1, "x\u00e9y", u"\u00e9"},
      {1, "a\U0001F600b", std::u16string{0xD83D}},
      {2, "a\U0001F600b", std::u16string{0xDE00}},
      {3, "a\U0001F600b", u"b"},
  };
  for (const Row& row : rows) {
    const std::optional<std::string> got = StringUtil::charAtIndex(row.index, row.text);
    ASSERT_EQ(got.has_value(), row.expected.has_value()) << row.index;
    if (got) {
      EXPECT_EQ(toUtf16(*got), *row.expected) << row.index;
    }
  }
}

TEST(StringUtilTest, BindStringFillsPlaceholdersByPosition) {
  using Values = std::optional<std::vector<std::string>>;
  struct Row {
    std::string templateText;
    Values values;
    std::string expected;
  };
  const Row rows[] = {
      {"A %@ B %@", Values{{"x"}}, "A x B "},
      {"%@", std::nullopt, ""},
      {"%@", std::vector<std::string>{}, ""},
      {"no placeholder", Values{{"x", "y"}}, "no placeholder"},
      {"%@ and %@", Values{{"1", "2", "3"}}, "1 and 2"},
      {"[%@]", Values{{"%@"}}, "[%@]"},
      {"%@%@", Values{{"a", "b"}}, "ab"},
      {"100%@%", Values{{"!"}}, "100!%"},
      {"\u00e9%@\u00e9", Values{{"\u4e2d"}}, "\u00e9\u4e2d\u00e9"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::bindString(row.templateText, row.values), row.expected)
        << row.templateText;
  }
  EXPECT_EQ(StringUtil::bindString(std::nullopt, Values{{"x"}}), std::nullopt);
}

TEST(StringUtilTest, ReplacingOccurrencesSearchesFromTheEnd) {
  struct Row {
    std::string source, target, replacement, expected;
  };
  const Row rows[] = {
      {"nothing here", "${installer.root}", "x", "nothing here"},
      {"${installer.root}/a|${installer.root}/b", "${installer.root}", "file:/p",
       "file:/p/a|file:/p/b"},
      {"aaa", "aa", "b", "ab"},
      {"aaaa", "aa", "b", "bb"},
      {"aaa", "a", "aa", "aaaaaa"},  // the replacement is not searched again
      {"abc", "", "x", "abc"},
      {"ab", "abc", "x", "ab"},
      {"Path", "path", "x", "Path"},  // case matters
      {"caf\u00e9 caf\u00e9", "\u00e9", "e", "cafe cafe"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(
        StringUtil::stringByReplacingOccurrencesOfString(row.source, row.target, row.replacement),
        row.expected)
        << row.source << " / " << row.target;
  }
}

TEST(StringUtilTest, GetVolumeFindsTheVolumeDirectory) {
  struct Row {
    std::optional<std::string> path, expected;
  };
  const Row rows[] = {
      {"/Volumes/Data/Apps/X.app", "/Volumes/Data"},
      {"/Volumes/Data", "/Volumes/Data"},
      {"/Volumes/Data/", "/Volumes/Data/"},
      {"/Applications/X.app", "/"},
      {"/Volumes", "/"},
      {"/", "/"},
      {"Volumes/Data/x", "/"},
      {"relative/path", "/"},
      {"/Volumes/../etc/x", "/Volumes/.."},
      {std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::getVolume(row.path), row.expected) << row.path.value_or("(none)");
  }

  const char* savedHome = std::getenv("HOME");
  const std::optional<std::string> restore =
      savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
  setenv("HOME", "/Volumes/Home/alice", 1);
  EXPECT_EQ(StringUtil::getVolume("~/Documents"), "/Volumes/Home");
  if (restore) {
    setenv("HOME", restore->c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST(StringUtilTest, QuotesAndTranslationSignLeaveTheTextAsItIs) {
  EXPECT_EQ(StringUtil::addQuotesToString("a \"b\""), "\"a \"b\"\"");
  EXPECT_EQ(StringUtil::addQuotesToString(""), "\"\"");
  EXPECT_EQ(StringUtil::addTranslationSignToString("x y"), "x y");
}

TEST(StringUtilTest, KeyEscaping) {
  struct Row {
    std::string key, expected;
  };
  const Row rows[] = {
      {"plain.key/name_1", "plain.key/name_1"},
      {"a b", "a\\ b"},
      {"#!=:\\", "\\#\\!\\=\\:\\\\"},
      {"C:\\users", "C\\:\\\\users"},  // keys double every backslash
      {"\\u00e9", "\\\\u00e9"},
      {"tab\there", "tab\\u0009here"},
      {"\x7f", "\\u007f"},
      {"caf\u00e9", "caf\\u00e9"},
      {"\u4e2d", "\\u4e2d"},
      {"\U0001F600", "\\ud83d\\ude00"},
      {"", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::convertNSStringTo8859_1Key(row.key), row.expected) << row.key;
  }
}

TEST(StringUtilTest, ValueEscaping) {
  struct Row {
    std::string value, expected;
  };
  const Row rows[] = {
      {"a b  c", "a b  c"},
      {" leading", " leading"},
      {"#!=:", "\\#\\!\\=\\:"},
      {"C:\\users", "C\\:\\\\users"},
      {"\\u00e9", "\\u00e9"},
      {"F\\u00FCgt", "F\\u00FCgt"},
      {"\\u00g9", "\\\\u00g9"},  // not four hex digits: a plain backslash
      {"\\u12", "\\\\u12"},
      {"\\u", "\\\\u"},
      {"x\\r\\ny", "x\\r\\ny"},
      {"\\t\\f", "\\t\\f"},
      {"\\a\\b\\x", "\\\\a\\\\b\\\\x"},
      {"end\\", "end\\\\"},
      {"\\\\server", "\\\\\\\\server"},
      {"\\\\n", "\\\\\\n"},  // the second backslash begins \n
      {"tab\there", "tab\\u0009here"},
      {"line\nbreak", "line\\u000abreak"},
      {"caf\u00e9", "caf\\u00e9"},
      {"\u20ac", "\\u20ac"},
      {"\U0001D11E", "\\ud834\\udd1e"},
      {"", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::convertNSStringTo8859_1Value(row.value), row.expected) << row.value;
  }
}

TEST(StringUtilTest, HexDigitsAreFourLowerCase) {
  std::string text = "x";
  StringUtil::addHexDigits(0x00E9, text);
  StringUtil::addHexDigits(0, text);
  StringUtil::addHexDigits(0xABCD, text);
  StringUtil::addHexDigits(0xFFFF, text);
  EXPECT_EQ(text, "x00e90000abcdffff");
}

TEST(StringUtilTest, ConvertUnicodeDecodesEscapes) {
  struct Row {
    std::string text, expected;
  };
  const Row rows[] = {
      {"\\u00e9", "\u00e9"},
      {"F\\u00FCgt", "F\u00fcgt"},
      {"\\ud83d\\ude00", "\U0001F600"},
      {"\\u00e", "\\u00e"},  // too short at the end
      {"\\uzz41", "A"},      // non-digits are skipped
      {"\\n and \\\\", "\\n and \\\\"},
      {"plain", "plain"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::convertUnicode2Characters(row.text), row.expected) << row.text;
  }
  // Writing and decoding again gives back every character outside printable ASCII.
  const std::string wide = "caf\u00e9 \u4e2d \U0001F600 tab\t";
  EXPECT_EQ(StringUtil::convertUnicode2Characters(StringUtil::convertNSStringTo8859_1Value(wide)),
            wide);
}

}  // namespace
}  // namespace rcpinstall
