// Plug-in bundles on POSIX: tables read from the bundle folder, code loaded with dlopen.
#include "os/bundle.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"
#include "os/user_identity.h"
#include "os/utf8.h"

namespace rcpinstall::os {

namespace {

// ---- Text encodings -------------------------------------------------------------------------

bool isSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

std::optional<std::u32string> decodeUtf16(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  auto unitAt = [&](size_t index) -> char32_t {
    const auto first = static_cast<unsigned char>(bytes[2 * index]);
    const auto second = static_cast<unsigned char>(bytes[2 * index + 1]);
    return bigEndian ? (char32_t{first} << 8) | second : (char32_t{second} << 8) | first;
  };
  const size_t units = bytes.size() / 2;
  std::u32string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    const char32_t unit = unitAt(i);
    if (!isSurrogate(unit)) {
      out.push_back(unit);
      continue;
    }
    if (unit > 0xDBFF || i + 1 == units) return std::nullopt;
    const char32_t low = unitAt(i + 1);
    if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
    out.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    ++i;
  }
  return out;
}

// The file's text by its byte-order mark: UTF-16 either way, else UTF-8.
std::optional<std::u32string> decodeTableText(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return decodeUtf16(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return decodeUtf16(bytes.substr(2), true);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return decodeUtf8(bytes);
}

// ---- The classic text form ------------------------------------------------------------------

class StringsTextParser {
 public:
  explicit StringsTextParser(std::u32string_view text) : text_(text) {}

  std::optional<StringsTable> parse() {
    StringsTable table;
    if (!skipSpace()) return std::nullopt;
    const bool braced = peek() == U'{';
    if (braced) {
      ++pos_;
      if (!skipSpace()) return std::nullopt;
    }
    while (!atEnd() && !(braced && peek() == U'}')) {
      std::optional<std::u32string> key = word();
      if (!key || !skipSpace()) return std::nullopt;
      std::u32string value = *key;
      if (peek() == U'=') {
        ++pos_;
        if (!skipSpace()) return std::nullopt;
        std::optional<std::u32string> text = word();
        if (!text || !skipSpace()) return std::nullopt;
        value = std::move(*text);
      }
      if (peek() != U';') return std::nullopt;
      ++pos_;
      if (!skipSpace()) return std::nullopt;
      table.insert_or_assign(encodeUtf8(*key), encodeUtf8(value));
    }
    if (braced) {
      if (atEnd()) return std::nullopt;  // the closing brace is missing
      ++pos_;
      if (!skipSpace() || !atEnd()) return std::nullopt;
    }
    return table;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char32_t peek() const { return atEnd() ? U'\0' : text_[pos_]; }
  char32_t peekAt(size_t offset) const {
    return pos_ + offset < text_.size() ? text_[pos_ + offset] : U'\0';
  }

  static bool isSpace(char32_t c) {
    return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r' || c == U'\f' || c == U'\v' ||
           c == 0x2028 || c == 0x2029 || c == 0xFEFF;
  }
  // Characters of a word written without quotes.
  static bool isBare(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') ||
           c == U'_' || c == U'$' || c == U'+' || c == U'/' || c == U':' || c == U'.' || c == U'-';
  }
  static int hexValue(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a') + 10;
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A') + 10;
    return -1;
  }

  // Skips white space and comments; false on a comment that never ends.
  bool skipSpace() {
    while (!atEnd()) {
      if (isSpace(peek())) {
        ++pos_;
      } else if (peek() == U'/' && peekAt(1) == U'*') {
        const size_t end = text_.find(U"*/", pos_ + 2);
        if (end == std::u32string_view::npos) return false;
        pos_ = end + 2;
      } else if (peek() == U'/' && peekAt(1) == U'/') {
        while (!atEnd() && peek() != U'\n' && peek() != U'\r') ++pos_;
      } else {
        break;
      }
    }
    return true;
  }

  std::optional<std::u32string> word() {
    if (peek() == U'"' || peek() == U'\'') return quoted();
    const size_t start = pos_;
    while (!atEnd() && isBare(peek()) &&
           !(peek() == U'/' && (peekAt(1) == U'/' || peekAt(1) == U'*'))) {
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return std::u32string(text_.substr(start, pos_ - start));
  }

  std::optional<std::u32string> quoted() {
    const char32_t quote = text_[pos_++];
    std::u32string out;
    char32_t pendingHigh = 0;  // a \U high surrogate waiting for its low half, or 0
    auto flushHigh = [&] {
      if (pendingHigh != 0) out.push_back(0xFFFD);
      pendingHigh = 0;
    };
    while (true) {
      if (atEnd()) return std::nullopt;
      char32_t c = text_[pos_++];
      if (c == quote) break;
      if (c != U'\\') {
        flushHigh();
        out.push_back(c);
        continue;
      }
      if (atEnd()) return std::nullopt;
      c = text_[pos_++];
      if (c == U'U' || c == U'u') {
        char32_t unit = 0;
        int digits = 0;
        for (; digits < 4 && hexValue(peek()) >= 0; ++digits) {
          unit = unit * 16 + static_cast<char32_t>(hexValue(text_[pos_++]));
        }
        if (digits == 0) {
          flushHigh();
          out.push_back(c);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
          flushHigh();
          pendingHigh = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
          if (pendingHigh != 0) {
            out.push_back(0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
            pendingHigh = 0;
          } else {
            out.push_back(0xFFFD);
          }
        } else {
          flushHigh();
          out.push_back(unit);
        }
        continue;
      }
      flushHigh();
      if (c >= U'0' && c <= U'7') {
        char32_t code = c - U'0';
        for (int digits = 1; digits < 3 && peek() >= U'0' && peek() <= U'7'; ++digits) {
          code = code * 8 + (text_[pos_++] - U'0');
        }
        out.push_back(code);
        continue;
      }
      switch (c) {
        case U'n':
          out.push_back(U'\n');
          break;
        case U't':
          out.push_back(U'\t');
          break;
        case U'r':
          out.push_back(U'\r');
          break;
        case U'a':
          out.push_back(U'\a');
          break;
        case U'b':
          out.push_back(U'\b');
          break;
        case U'f':
          out.push_back(U'\f');
          break;
        case U'v':
          out.push_back(U'\v');
          break;
        default:
          out.push_back(c);
          break;  // \" \' \\ and any other character stand for it
      }
    }
    flushHigh();
    return out;
  }

  std::u32string_view text_;
  size_t pos_ = 0;
};

std::optional<StringsTable> tableFromPlist(std::string_view bytes) {
  std::optional<PlistValue> root = parsePlist(bytes);
  if (!root || root->asDictionary() == nullptr) return std::nullopt;
  StringsTable table;
  for (const auto& [key, value] : *root->asDictionary()) {
    if (const std::string* text = value.asString()) table.insert_or_assign(key, *text);
  }
  return table;
}

bool looksLikeXml(std::u32string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == U' ' || text[i] == U'\t' || text[i] == U'\n' ||
                             text[i] == U'\r' || text[i] == 0xFEFF)) {
    ++i;
  }
  return text.substr(i).starts_with(U"<?xml") || text.substr(i).starts_with(U"<!DOCTYPE") ||
         text.substr(i).starts_with(U"<plist");
}

// ---- Localizations --------------------------------------------------------------------------

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// The code that an older, English-named localization folder stands for.
std::string codeOfLocalization(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kNamed{{
      {"English", "en"},
      {"German", "de"},
      {"French", "fr"},
      {"Japanese", "ja"},
      {"Spanish", "es"},
      {"Italian", "it"},
      {"Dutch", "nl"},
      {"Portuguese", "pt"},
  }};
  for (const auto& [named, code] : kNamed) {
    if (name == named) return std::string(code);
  }
  return lowered(name);
}

std::vector<std::string> textsOf(const PlistValue& value) {
  std::vector<std::string> out;
  if (const std::string* text = value.asString()) {
    out.push_back(*text);
  } else if (const PlistArray* entries = value.asArray()) {
    for (const PlistValue& entry : *entries) {
      if (const std::string* text = entry.asString()) out.push_back(*text);
    }
  }
  return out;
}

std::vector<std::string> localizationsIn(const std::string& resources) {
  std::vector<std::string> out;
  const std::optional<std::vector<std::string>> names = FileSystem::listDirectory(resources);
  if (!names) return out;
  for (const std::string& name : *names) {
    if (name.size() > 6 && name.ends_with(".lproj") &&
        FileSystem::isDirectory(appendComponent(resources, name))) {
      out.push_back(name.substr(0, name.size() - 6));
    }
  }
  std::sort(out.begin(), out.end());  // the listing's order is the file system's
  return out;
}

}  // namespace

std::optional<StringsTable> parseStringsTable(std::string_view bytes) {
  if (bytes.starts_with("bplist00")) return tableFromPlist(bytes);
  std::optional<std::u32string> text = decodeTableText(bytes);
  if (!text) return std::nullopt;
  if (looksLikeXml(*text)) {
    // The property-list reader takes UTF-8 without a byte-order mark.
    const std::string utf8 = encodeUtf8(*text);
    return tableFromPlist(std::string_view(utf8).substr(utf8.starts_with("\xEF\xBB\xBF") ? 3 : 0));
  }
  return StringsTextParser(*text).parse();
}

std::string chooseLocalization(const std::vector<std::string>& preferred,
                               const std::vector<std::string>& available) {
  for (const std::string& language : preferred) {
    std::string wanted = lowered(language);
    while (!wanted.empty()) {
      for (const std::string& name : available) {
        if (lowered(name) == wanted) return name;
      }
      for (const std::string& name : available) {
        if (codeOfLocalization(name) == wanted) return name;
      }
      const size_t dash = wanted.rfind('-');
      if (dash == std::string::npos) break;
      wanted.resize(dash);
    }
  }
  return kFallbackLocalization;
}

std::vector<std::string> preferredLanguagesFromPreferences(const std::optional<std::string>& home,
                                                           const std::string& systemGlobalFile) {
  std::vector<std::string> out;
  if (std::optional<PlistValue> languages =
          standardPreference("AppleLanguages", home, systemGlobalFile)) {
    out = textsOf(*languages);
  }
  if (std::optional<PlistValue> locale =
          standardPreference("AppleLocale", home, systemGlobalFile)) {
    if (const std::string* text = locale->asString()) {
      std::string identifier = text->substr(0, text->find('@'));
      if (!identifier.empty()) out.push_back(std::move(identifier));
    }
  }
  std::erase_if(out, [](const std::string& language) { return language.empty(); });
  return out;
}

std::vector<std::string> invokingUserPreferredLanguages() {
  std::optional<uid_t> uid;
  if (const std::optional<std::string> name = invokingUserName()) uid = lookupUserId(*name);
  if (!uid || *uid == ::geteuid()) return preferredLanguagesFromPreferences();
  std::vector<std::string> languages;
  runAsEffectiveUser(*uid, [&] { languages = preferredLanguagesFromPreferences(); });
  return languages;
}

Bundle::Bundle(std::string path, std::vector<std::string> preferredLanguages)
    : path_(std::move(path)), preferredLanguages_(std::move(preferredLanguages)) {}

std::optional<Bundle> Bundle::bundleContaining(const void* address,
                                               std::vector<std::string> preferredLanguages) {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  const std::string code = info.dli_fname;
  const std::string macos = deletingLastComponent(code);
  const std::string contents = deletingLastComponent(macos);
  if (lastComponent(macos) != "MacOS" || lastComponent(contents) != "Contents") {
    return std::nullopt;
  }
  return Bundle(deletingLastComponent(contents), std::move(preferredLanguages));
}

std::string Bundle::resourcePath() const {
  return appendComponent(appendComponent(path_, "Contents"), "Resources");
}

std::optional<PlistValue> Bundle::infoDictionary() const {
  std::optional<PlistValue> info =
      readPlistFile(appendComponent(appendComponent(path_, "Contents"), "Info.plist"));
  if (!info || info->asDictionary() == nullptr) return std::nullopt;
  return info;
}

std::string Bundle::executablePath() const {
  std::string name;
  if (const std::optional<PlistValue> info = infoDictionary()) {
    const PlistValue* executable = info->find("CFBundleExecutable");
    if (executable != nullptr && executable->asString() != nullptr) name = *executable->asString();
  }
  if (name.empty() || name.find('/') != std::string::npos) {
    name = lastComponent(path_);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
  }
  return appendComponent(appendComponent(appendComponent(path_, "Contents"), "MacOS"),
                         name + ".so");
}

const std::string& Bundle::localization() const {
  if (!localization_) {
    const std::vector<std::string> preferred =
        preferredLanguages_.empty() ? invokingUserPreferredLanguages() : preferredLanguages_;
    localization_ = chooseLocalization(preferred, localizationsIn(resourcePath()));
  }
  return *localization_;
}

const StringsTable& Bundle::table(const std::string& name) const {
  if (auto found = tables_.find(name); found != tables_.end()) return found->second;
  const std::string file = appendComponent(
      appendComponent(resourcePath(), localization() + ".lproj"), name + ".strings");
  StringsTable table;
  if (const std::optional<std::string> bytes = readWholeFile(file)) {
    if (std::optional<StringsTable> parsed = parseStringsTable(*bytes)) {
      table = std::move(*parsed);
    } else {
      SystemLog::log(SystemLog::kWarning, "Cannot read the localization table %s", file.c_str());
    }
  }
  return tables_.emplace(name, std::move(table)).first->second;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& tableName) const {
  const StringsTable& entries = table(tableName.empty() ? "Localizable" : tableName);
  if (auto found = entries.find(key); found != entries.end()) return found->second;
  return value.empty() ? key : value;
}

std::optional<LoadedCode> LoadedCode::load(const std::string& path, std::string* error) {
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    if (error != nullptr) *error = reason != nullptr ? reason : "cannot be loaded";
    return std::nullopt;
  }
  return LoadedCode(handle);
}

void* LoadedCode::symbol(const std::string& name) const {
  if (!handle_) return nullptr;
  return ::dlsym(handle_.get(), name.c_str());
}

void LoadedCode::Closer::operator()(void* handle) const {
  if (handle != nullptr) ::dlclose(handle);
}

}  // namespace rcpinstall::os
