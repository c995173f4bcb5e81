// Text operations shared by every tool: placeholders, replacement, and properties escaping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Texts are UTF-8 std::strings. Operations whose rules count UTF-16 code units (indexes,
// escapes) convert internally.
namespace rcpinstall::StringUtil {

std::string addQuotesToString(std::string_view text);
std::optional<std::string> getVolume(const std::optional<std::string>& path);
std::string addTranslationSignToString(std::string_view text);  // the text unchanged
std::optional<std::string> bindString(const std::optional<std::string>& templateText,
                                      const std::optional<std::vector<std::string>>& values);
std::optional<std::string> charAtIndex(int32_t index, const std::optional<std::string>& text);
std::string stringByReplacingOccurrencesOfString(std::string_view source, std::string_view target,
                                                 std::string_view replacement);

// Properties-file escaping (ASCII out, "\uXXXX" for everything else).
std::string convertNSStringTo8859_1Key(std::string_view key);
std::string convertNSStringTo8859_1Value(std::string_view value);
void addHexDigits(uint16_t number, std::string& text);
std::string convertUnicode2Characters(std::string_view text);

// UTF-8 <-> UTF-16 helpers used by the operations above and by the properties reader.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

}  // namespace rcpinstall::StringUtil
