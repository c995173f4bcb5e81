// UTF-8: the one decoder and encoder of the tree; every reader of UTF-8 text decodes with it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rcpinstall::os {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One character at the front of some bytes. length is 0 when the bytes there begin no
// well-formed sequence: a stray continuation or invalid lead byte, a truncated or overlong
// sequence, a value beyond U+10FFFF, or (unless allowed) the encoded form of a surrogate.
struct Utf8Character {
  char32_t codePoint = 0;
  size_t length = 0;
};
Utf8Character decodeUtf8Character(std::string_view bytes, bool allowSurrogates = false);

// The code points of well-formed UTF-8; none when any byte is not part of a well-formed
// sequence.
std::optional<std::u32string> decodeUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

void appendUtf8(char32_t codePoint, std::string& out);
std::string encodeUtf8(std::u32string_view text);

}  // namespace rcpinstall::os
