// Plug-in bundles: the folder, its Info.plist, its localized string tables, and its code.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/plist_value.h"
#include "os/user_preferences.h"

namespace rcpinstall::os {

// A localization table: key to text, both UTF-8.
using StringsTable = std::map<std::string, std::string, std::less<>>;

// Reads a localization table from the bytes of a ".strings" file, in any of the forms the
// target system accepts:
// - the classic text form, `"key" = "value";` entries (a key alone, `"key";`, maps to itself),
//   with /* */ and // comments, quoted or bare words, the escapes \" \' \\ \n \t \r \a \b \f
//   \v, \Uxxxx (UTF-16 units, surrogate pairs joined) and octal \ooo, optionally inside one
//   pair of braces; encoded as UTF-8 (with or without a byte-order mark) or as UTF-16 with a
//   byte-order mark;
// - an XML or binary property list whose root is a dictionary (entries whose value is not a
//   text are left out).
// None when the bytes are not such a table (bad encoding, syntax error, unterminated string
// or comment); a table that is read at all is read whole.
std::optional<StringsTable> parseStringsTable(std::string_view bytes);

// The localization used when none of the preferred languages is available.
inline constexpr const char* kFallbackLocalization = "en";

// Picks the localization (the name of a "<name>.lproj" folder) for the preferred languages:
// for each in order, an available localization of the same name (case and "-" / "_" do not
// matter), else one for the language with its last subtags removed ("de-DE" -> "de",
// "zh-Hans-CN" -> "zh-Hans" -> "zh"), the older English names ("German.lproj") counting for
// their codes. Nothing found: kFallbackLocalization (also when it is not available).
std::string chooseLocalization(const std::vector<std::string>& preferred,
                               const std::vector<std::string>& available);

// The languages the user prefers, from the standard preference search list: the entries of
// "AppleLanguages" in order, then the locale of "AppleLocale" (without an "@..." part).
// home and systemGlobalFile stand in for the effective user's home and the machine-wide file.
std::vector<std::string> preferredLanguagesFromPreferences(
    const std::optional<std::string>& home = std::nullopt,
    const std::string& systemGlobalFile = kSystemGlobalPreferencesFile);

// The same, read as the invoking user (USER, else the real user), switching the effective
// user for the read when the process runs as someone else.
std::vector<std::string> invokingUserPreferredLanguages();

// A bundle folder: "<path>/Contents/Info.plist", "<path>/Contents/MacOS/<executable>.so",
// "<path>/Contents/Resources/<localization>.lproj/<table>.strings".
class Bundle {
 public:
  // preferredLanguages, when not empty, take the place of the user's language preferences.
  explicit Bundle(std::string path, std::vector<std::string> preferredLanguages = {});

  // The bundle whose code holds the address (the folder three levels above the loaded
  // "Contents/MacOS/<name>.so"); none when that code is not inside a bundle.
  static std::optional<Bundle> bundleContaining(const void* address,
                                                std::vector<std::string> preferredLanguages = {});

  const std::string& bundlePath() const { return path_; }
  std::string resourcePath() const;
  // Contents/Info.plist when it is a property list with a dictionary at its root.
  std::optional<PlistValue> infoDictionary() const;
  // "Contents/MacOS/<CFBundleExecutable>.so", else the folder's name without its extension.
  std::string executablePath() const;

  // The localization the tables are read from, chosen once, on first use.
  const std::string& localization() const;

  // The text of key in the table (empty: "Localizable") of the chosen localization. A key
  // that is missing (or a table that is missing or unreadable) answers value, or the key
  // itself when value is empty. Each table is read once.
  std::string localizedString(const std::string& key, const std::string& value,
                              const std::string& table) const;

 private:
  const StringsTable& table(const std::string& name) const;

  std::string path_;
  std::vector<std::string> preferredLanguages_;
  mutable std::optional<std::string> localization_;
  mutable std::map<std::string, StringsTable, std::less<>> tables_;
};

// A bundle's code, loaded into the process. Unloading it (the destructor) invalidates every
// object and function it made: they must be gone by then.
class LoadedCode {
 public:
  // Loads the shared object, resolving all its symbols now. None, with the loader's reason in
  // *error, when it cannot be loaded.
  static std::optional<LoadedCode> load(const std::string& path, std::string* error);

  LoadedCode(LoadedCode&&) noexcept = default;
  LoadedCode& operator=(LoadedCode&&) noexcept = default;
  ~LoadedCode() = default;

  // The address of a symbol the code exports; nullptr when it exports none of that name.
  void* symbol(const std::string& name) const;

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  explicit LoadedCode(void* handle) : handle_(handle) {}
  std::unique_ptr<void, Closer> handle_;
};

}  // namespace rcpinstall::os
