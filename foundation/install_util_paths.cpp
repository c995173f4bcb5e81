// The path side of InstallUtil: package and bundle paths, prefixes, the package variable.
#include <cstddef>
#include <cstdint>

#include "foundation/install_util.h"
#include "foundation/string_util.h"
#include "os/path.h"

namespace rcpinstall::InstallUtil {
namespace {

constexpr std::string_view kBundleMarker = ".app/Contents/MacOS";
constexpr std::string_view kPackageVariable = "${package}";

// Case folding of one code point for the caseless prefix test: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic capitals map to their small letters. Enough for the file
// names the installer compares; anything else compares as it stands.
uint32_t foldCase(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 32;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (c == 0x178) return 0xFF;
    const bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddCapitals) return (c & 1) ? c + 1 : c;
    return (c & 1) ? c : c + 1;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  return c;
}

std::u32string foldedCodePoints(const std::string& text) {
  const std::u16string units = StringUtil::toUtf16(text);
  std::u32string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    out += foldCase(c);
  }
  return out;
}

}  // namespace

std::string getPathToMPKGThrough(const std::string& path) {
  std::string result = path;
  for (int i = 0; i < 3; ++i) result = os::deletingLastComponent(result);
  return result;
}

std::string getInstallerRootThrough(const std::string& path) {
  return os::deletingLastComponent(getPathToMPKGThrough(path));
}

std::optional<std::string> getBundlePath(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  const size_t found = path->rfind(kBundleMarker);
  if (found == std::string::npos) return std::nullopt;
  return path->substr(0, found + 4);  // up to and including ".app"
}

bool hasPrefixCaseInsensitive(const std::optional<std::string>& text, const std::string& prefix) {
  if (!text || prefix.empty()) return false;
  const std::u32string foldedText = foldedCodePoints(*text);
  const std::u32string foldedPrefix = foldedCodePoints(prefix);
  return foldedText.starts_with(foldedPrefix);
}

void replacePackageVariableWith(const std::optional<std::string>& replacement,
                                os::PlistDictionary& properties) {
  if (!replacement) return;
  for (auto& [key, value] : properties) {
    if (const std::string* text = value.asString()) {
      value = os::PlistValue(
          StringUtil::stringByReplacingOccurrencesOfString(*text, kPackageVariable, *replacement));
    }
  }
}

}  // namespace rcpinstall::InstallUtil
