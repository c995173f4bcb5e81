#include "os/utf8.h"

#include <gtest/gtest.h>

namespace rcpinstall::os {
namespace {

TEST(Utf8Test, DecodesOneCharacterOrRefusesTheSequence) {
  struct Row {
    std::string bytes;
    char32_t codePoint;
    size_t length;  // 0: not a well-formed sequence
  };
  const Row rows[] = {
      {"a", U'a', 1},
      {"\xC3\xA9", U'\u00E9', 2},
      {"\xE4\xB8\xAD", U'\u4E2D', 3},
      {"\xF0\x9F\x98\x80", U'\U0001F600', 4},
      {"\x80", 0, 0},                  // stray continuation byte
      {"\xC3", 0, 0},                  // truncated
      {"\xC3\x41", 0, 0},              // continuation missing
      {"\xC0\xAF", 0, 0},              // overlong "/"
      {"\xE0\x80\xAF", 0, 0},          // overlong, three bytes
      {"\xED\xA0\x80", 0, 0},          // surrogate half
      {"\xF4\x90\x80\x80", 0, 0},      // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", 0, 0},  // five-byte form
  };
  for (const Row& row : rows) {
    const Utf8Character c = decodeUtf8Character(row.bytes);
    EXPECT_EQ(c.length, row.length) << row.bytes;
    if (row.length != 0) {
      EXPECT_EQ(c.codePoint, row.codePoint) << row.bytes;
    }
    EXPECT_EQ(isValidUtf8(row.bytes), row.length == row.bytes.size()) << row.bytes;
  }
  // A surrogate's three-byte form is taken only where asked for.
  EXPECT_EQ(decodeUtf8Character("\xED\xA0\x80", true).codePoint, char32_t{0xD800});
  EXPECT_EQ(encodeUtf8(*decodeUtf8("a\u00E9\u4E2D\U0001F600")), "a\u00E9\u4E2D\U0001F600");
}

}  // namespace
}  // namespace rcpinstall::os
