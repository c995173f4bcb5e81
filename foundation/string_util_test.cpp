#include "foundation/string_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace rcpinstall {
namespace {

using StringUtil::toUtf16;
using StringUtil::toUtf8;

TEST(StringUtilTest, Utf16Conversion) {
  const std::string mixed = "a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(toUtf16(mixed), u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(toUtf8(toUtf16(mixed)), mixed);
  const std::u16string lone = {0xD83D};  // a lone surrogate survives the trip
  EXPECT_EQ(toUtf16(toUtf8(lone)), lone);
  // Stray, truncated and overlong bytes become U+FFFD one byte at a time.
  EXPECT_EQ(toUtf16("a\xff"
                    "b\xe4\xb8\xc0\xaf"),
            u"a\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(StringUtilTest, CharAtIndexCountsUtf16Units) {
  struct Row {
    int32_t index;
    std::optional<std::string> text;
    std::optional<std::u16string> expected;
  };
  const Row rows[] = {
      {2, "abc", u"c"},
      {3, "abc", std::nullopt},
      {-1, "abc", std::nullopt},
      {0, std::nullopt, {}},
      {1, "x\u00e9y", u"\u00e9"},
      {1, "a\U0001F600b", u"\xD83D"},
      {2, "a\U0001F600b", u"\xDE00"},
      {3, "a\U0001F600b", u"b"},
  };
  for (const Row& row : rows) {
    const std::optional<std::string> got = StringUtil::charAtIndex(row.index, row.text);
    EXPECT_EQ(got ? std::optional(toUtf16(*got)) : std::nullopt, row.expected) << row.index;
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
      {"no placeholder", Values{{"x", "y"}}, "no placeholder"},
      {"%@ and %@", Values{{"1", "2", "3"}}, "1 and 2"},
      {"[%@]", Values{{"%@"}}, "[%@]"},
      {"100%@%", Values{{"!"}}, "100!%"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::bindString(row.templateText, row.values), row.expected);
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
      {"aaa", "a", "aa", "aaaaaa"},  // the replacement is not searched again
      {"abc", "", "x", "abc"},
      {"Path", "path", "x", "Path"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(
        StringUtil::stringByReplacingOccurrencesOfString(row.source, row.target, row.replacement),
        row.expected);
  }
}

TEST(StringUtilTest, GetVolumeFindsTheVolumeDirectory) {
  struct Row {
    std::optional<std::string> path, expected;
  };
  const Row rows[] = {
      {"/Volumes/Data/Apps/X.app", "/Volumes/Data"},
      {"/Volumes/Data", "/Volumes/Data"},
      {"/Applications/X.app", "/"},
      {"/Volumes", "/"},
      {"/", "/"},
      {"Volumes/Data/x", "/"},
      {"/Volumes/../etc/x", "/Volumes/.."},
      {std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(StringUtil::getVolume(row.path), row.expected);

  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
  setenv("HOME", "/Volumes/Home/alice", 1);
  EXPECT_EQ(StringUtil::getVolume("~/Documents"), "/Volumes/Home");
  setenv("HOME", home.c_str(), 1);
}

TEST(StringUtilTest, KeyEscaping) {
  struct Row {
    std::string key, expected;
  };
  const Row rows[] = {
      {"plain.key/name_1", "plain.key/name_1"},
      {"a b", "a\\ b"},
      {"#!=:\\", "\\#\\!\\=\\:\\\\"},
      {"\\u00e9 \\t", "\\u00e9\\ \\t"},        // escapes Java decodes pass through, as in values
      {"\\u00g9\\a\\", "\\\\u00g9\\\\a\\\\"},  // any other backslash is doubled
      {"tab\t\x7f", "tab\\u0009\\u007f"},
      {"caf\u00e9\u4e2d", "caf\\u00e9\\u4e2d"},
      {"\U0001F600", "\\ud83d\\ude00"},
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
      {" a b  c", " a b  c"},
      {"#!=:", "\\#\\!\\=\\:"},
      {"C:\\users", "C\\:\\\\users"},
      {"\\u00e9 F\\u00FCgt", "\\u00e9 F\\u00FCgt"},  // escapes Java decodes pass through
      {"x\\r\\n\\t\\fy", "x\\r\\n\\t\\fy"},
      {"\\u00g9 \\u12", "\\\\u00g9 \\\\u12"},  // not four hex digits: a plain backslash
      {"\\a\\b", "\\\\a\\\\b"},
      {"end\\", "end\\\\"},
      {"\\\\n", "\\\\\\n"},  // the second backslash begins \n
      {"tab\tline\n", "tab\\u0009line\\u000a"},
      {"caf\u00e9 \u20ac", "caf\\u00e9 \\u20ac"},
      {"\U0001D11E", "\\ud834\\udd1e"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::convertNSStringTo8859_1Value(row.value), row.expected) << row.value;
  }
}

TEST(StringUtilTest, ConvertUnicodeDecodesEscapes) {
  struct Row {
    std::string text, expected;
  };
  const Row rows[] = {
      {"F\\u00FCgt \\u00e9", "F\u00fcgt \u00e9"},
      {"\\ud83d\\ude00", "\U0001F600"},
      {"\\u00e", "\\u00e"},  // too short at the end
      {"\\uzz41", "A"},      // non-digits are skipped
      {"\\n and \\\\", "\\n and \\\\"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StringUtil::convertUnicode2Characters(row.text), row.expected) << row.text;
  }
  const std::string wide = "caf\u00e9 \u4e2d \U0001F600 tab\t";
  EXPECT_EQ(StringUtil::convertUnicode2Characters(StringUtil::convertNSStringTo8859_1Value(wide)),
            wide);
}

}  // namespace
}  // namespace rcpinstall
