// StringUtil: placeholders, replacement, volumes, and the escaping of properties files.
#include "foundation/string_util.h"

#include <cstddef>

#include "os/path.h"
#include "os/utf8.h"

namespace rcpinstall::StringUtil {
namespace {

constexpr std::string_view kPlaceholder = "%@";
constexpr std::string_view kVolumesDirectory = "/Volumes";

bool isHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return c - u'A' + 10;
}

// The characters a properties writer protects with a backslash (besides the backslash).
bool isEscapedPunctuation(char16_t c) {
  return c == u'#' || c == u'!' || c == u'=' || c == u':';
}

// Whether the backslash at index i begins an escape that Java's properties loader decodes and
// that our own reader leaves in a value as it stands: \t, \n, \r, \f and \u with four hex
// digits. Such a backslash is written single so that Java reads what the file it came from
// meant; every other backslash is doubled so that Java reads it as a backslash.
bool beginsKeptEscape(std::u16string_view text, size_t i) {
  if (i + 1 >= text.size()) return false;
  const char16_t next = text[i + 1];
  if (next == u't' || next == u'n' || next == u'r' || next == u'f') return true;
  if (next != u'u' || i + 5 >= text.size()) return false;
  for (size_t k = i + 2; k <= i + 5; ++k) {
    if (!isHexDigit(text[k])) return false;
  }
  return true;
}

void appendUnicodeEscape(char16_t unit, std::string& out) {
  out += "\\u";
  addHexDigits(unit, out);
}

// The text as a properties file holds it: ASCII, with "\uXXXX" for every other character.
// A key's spaces are escaped too, since a space would end it. The reader keeps "\u00e9" and
// the other escapes Java decodes as they stand, in keys as in values: written single, they
// stay the character Java read from the original file, however often the file is rewritten.
std::string escapeFor8859_1(std::string_view text, bool isKey) {
  const std::u16string units = toUtf16(text);
  std::string out;
  out.reserve(units.size() + 8);
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t c = units[i];
    if (c == u'\\') {
      out += beginsKeptEscape(units, i) ? "\\" : "\\\\";
    } else if (c >= 0x20 && c <= 0x7E) {
      if (isEscapedPunctuation(c) || (isKey && c == u' ')) out += '\\';
      out += static_cast<char>(c);
    } else {
      appendUnicodeEscape(c, out);
    }
  }
  return out;
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    // Three-byte forms of surrogates are accepted, so that a single surrogate half (as
    // charAtIndex gives it) converts back to the code unit it came from.
    const os::Utf8Character c = os::decodeUtf8Character(utf8.substr(i), true);
    if (c.length == 0) {
      // A byte that starts no well-formed sequence stands for itself as U+FFFD.
      out += u'\uFFFD';
      ++i;
      continue;
    }
    uint32_t codePoint = c.codePoint;
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
      out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
    } else {
      out += static_cast<char16_t>(codePoint);
    }
    i += c.length;
  }
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      os::appendUtf8(
          0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00), out);
      ++i;
    } else {
      os::appendUtf8(unit, out);  // a lone surrogate keeps its three-byte form
    }
  }
  return out;
}

std::string addQuotesToString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

std::optional<std::string> getVolume(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  if (*path == "/") return std::string("/");
  std::string current = os::expandTilde(*path);
  while (true) {
    std::string parent = os::deletingLastComponent(current);
    if (parent == kVolumesDirectory) return current;
    if (parent.empty() || parent == "/" || parent == current) return std::string("/");
    current = std::move(parent);
  }
}

std::string addTranslationSignToString(std::string_view text) {
  return std::string(text);
}

std::optional<std::string> bindString(const std::optional<std::string>& templateText,
                                      const std::optional<std::vector<std::string>>& values) {
  if (!templateText) return std::nullopt;
  const std::string& text = *templateText;
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  size_t valueIndex = 0;
  while (true) {
    const size_t found = text.find(kPlaceholder, start);
    if (found == std::string::npos) break;
    out.append(text, start, found - start);
    if (values && valueIndex < values->size()) out += (*values)[valueIndex];
    ++valueIndex;
    start = found + kPlaceholder.size();
  }
  out.append(text, start, std::string::npos);
  return out;
}

std::optional<std::string> charAtIndex(int32_t index, const std::optional<std::string>& text) {
  if (!text || index < 0) return std::nullopt;
  const std::u16string units = toUtf16(*text);
  if (static_cast<size_t>(index) >= units.size()) return std::nullopt;
  return toUtf8(std::u16string_view(units).substr(static_cast<size_t>(index), 1));
}

std::string stringByReplacingOccurrencesOfString(std::string_view source, std::string_view target,
                                                 std::string_view replacement) {
  if (target.empty() || target.size() > source.size()) return std::string(source);
  // Matches are found from the end toward the start, so where two could overlap the later
  // one is replaced ("aaa" with "aa" -> "b" gives "ab").
  std::vector<size_t> matches;
  size_t end = source.size();
  while (end >= target.size()) {
    const size_t found = source.rfind(target, end - target.size());
    if (found == std::string_view::npos) break;
    matches.push_back(found);
    end = found;
  }
  if (matches.empty()) return std::string(source);
  std::string out;
  out.reserve(source.size() + matches.size() * replacement.size());
  size_t position = 0;
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    out.append(source.substr(position, *it - position));
    out.append(replacement);
    position = *it + target.size();
  }
  out.append(source.substr(position));
  return out;
}

std::string convertNSStringTo8859_1Key(std::string_view key) {
  return escapeFor8859_1(key, true);
}

std::string convertNSStringTo8859_1Value(std::string_view value) {
  return escapeFor8859_1(value, false);
}

void addHexDigits(uint16_t number, std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(number >> shift) & 0xF];
}

std::string convertUnicode2Characters(std::string_view text) {
  const std::u16string units = toUtf16(text);
  std::u16string out;
  out.reserve(units.size());
  size_t i = 0;
  while (i < units.size()) {
    if (units[i] == u'\\' && i + 5 < units.size() && units[i + 1] == u'u') {
      uint32_t number = 0;
      for (size_t k = i + 2; k <= i + 5; ++k) {
        if (isHexDigit(units[k])) number = number * 16 + hexValue(units[k]);
      }
      out += static_cast<char16_t>(number);
      i += 6;
    } else {
      out += units[i++];
    }
  }
  return toUtf8(out);
}

}  // namespace rcpinstall::StringUtil
