// JavaProperties: the properties-file reader, writer and merge.
#include "foundation/java_properties.h"

#include <cstddef>

#include "foundation/string_util.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {
namespace {

// The characters that end a key; the writer keeps a virtual-machine option's run of them.
constexpr std::string_view kSeparators = "=: \t";

bool isSeparator(char16_t c) {
  return c < 0x80 && kSeparators.find(static_cast<char>(c)) != std::string_view::npos;
}

bool isEscapable(char16_t c) {
  return c == u':' || c == u'\\' || c == u'#' || c == u' ' || c == u'=' || c == u'!';
}

// Whitespace and line breaks of ISO-8859-1, including NEL (0x85) and no-break space (0xA0).
bool isTrimmed(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' ||
         c == 0x85 || c == 0xA0;
}

std::u16string_view trim(std::u16string_view line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && isTrimmed(line[begin])) ++begin;
  while (end > begin && isTrimmed(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

// ISO-8859-1: every byte is the code unit of the same number.
std::u16string decodeLatin1(std::string_view bytes) {
  std::u16string out;
  out.resize(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
  return out;
}

}  // namespace

JavaProperties::JavaProperties() = default;

JavaProperties::JavaProperties(const std::optional<std::string>& file) {
  if (file) _file = os::expandTilde(*file);
  if (_file) initDictionary();
}

std::optional<JavaProperties> JavaProperties::load(const std::string& path) {
  const std::optional<std::string> bytes = os::readWholeFile(path);
  if (!bytes) return std::nullopt;
  JavaProperties properties;
  properties._file = path;
  properties._dict = parse(*bytes, &properties._raw);
  return properties;
}

void JavaProperties::initDictionary() {
  if (!_file) return;
  std::optional<JavaProperties> loaded = load(*_file);
  if (!loaded) return;
  for (auto& [key, value] : loaded->_dict) _dict.insert_or_assign(key, std::move(value));
  for (auto& [key, entry] : loaded->_raw) _raw.insert_or_assign(key, std::move(entry));
}

JavaProperties::Table JavaProperties::parse(std::string_view latin1Text, RawEntries* raw) {
  const std::u16string text = decodeLatin1(latin1Text);
  Table table;
  std::u16string key;
  std::u16string value;
  bool inValue = false;
  bool continuing = false;
  bool dashX = false;

  size_t entryStart = 0;  // where the entry being read began in the text
  size_t entryEnd = 0;    // and where its last line ends, less a carriage return
  const auto add = [&] {
    std::string utf8Key = StringUtil::toUtf8(key);
    std::string utf8Value = StringUtil::toUtf8(value);
    if (raw != nullptr) {
      (*raw)[utf8Key] = {std::string(latin1Text.substr(entryStart, entryEnd - entryStart)),
                         utf8Value};
    }
    table.insert_or_assign(std::move(utf8Key), std::move(utf8Value));
  };
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t lineEnd = text.find(u'\n', lineStart);
    if (lineEnd == std::u16string::npos) lineEnd = text.size();
    const size_t thisLine = lineStart;
    size_t thisEnd = lineEnd;
    if (thisEnd > thisLine && text[thisEnd - 1] == u'\r') --thisEnd;
    const std::u16string_view line =
        trim(std::u16string_view(text).substr(lineStart, lineEnd - lineStart));
    lineStart = lineEnd + 1;

    if (line.empty() || line.front() == u'#') continue;
    entryEnd = thisEnd;
    if (!continuing) {
      entryStart = thisLine;
      key.clear();
      value.clear();
      inValue = false;
      dashX = line.starts_with(u"-X");
    }
    bool separatorAllowed = true;
    for (size_t i = 0; i < line.size(); ++i) {
      const char16_t c = line[i];
      if (c == u'\\' && i + 1 == line.size() && i > 0 && line[i - 1] == u' ') {
        continuing = true;  // " \" at the end: the value goes on in the next line
        continue;
      }
      if (c == u'\\' && i + 1 < line.size() && isEscapable(line[i + 1])) {
        // The escaped character is then read by the same rules, except that an escaped
        // backslash is a character: it escapes nothing after it, so "\\\\server" keeps both
        // backslashes and a key or value that ends in one reads back as it was written.
        if (line[i + 1] != u'\\') continue;
        ++i;
      }
      if (isSeparator(c) && separatorAllowed) {
        inValue = true;
        if (dashX) value += c;  // a virtual-machine option keeps its separators
        continue;
      }
      if (inValue) {
        value += c;
        continuing = false;
        separatorAllowed = false;
      } else {
        key += c;
      }
    }
    if (!continuing) add();
  }
  // A file that ends inside a continued value still holds that entry.
  if (continuing) add();
  return table;
}

std::string JavaProperties::serialize(const Table& table, const RawEntries& raw) {
  std::string out;
  for (const auto& [key, value] : table) {
    const auto kept = raw.find(key);
    if (kept != raw.end() && kept->second.value == value) {
      out += kept->second.text;
      out += '\n';
      continue;
    }
    const std::string escapedKey = StringUtil::convertNSStringTo8859_1Key(key);
    if (escapedKey.empty()) continue;
    out += escapedKey;
    // A virtual-machine option ("-Xmx256m", "-Xbootclasspath/a:x.jar") is read with its
    // separators as part of the value; it is written back the way it was read, so that
    // reading and writing it again does not add a separator each time.
    const size_t separators = value.find_first_not_of(kSeparators);
    if (key.starts_with("-X") && separators != 0) {
      const size_t run = separators == std::string::npos ? value.size() : separators;
      out.append(value, 0, run);
      out += StringUtil::convertNSStringTo8859_1Value(std::string_view(value).substr(run));
    } else {
      out += '=';
      out += StringUtil::convertNSStringTo8859_1Value(value);
    }
    out += '\n';
  }
  return out;
}

std::optional<std::string> JavaProperties::getPropertyForKey(std::string_view key) const {
  const auto found = _dict.find(key);
  if (found == _dict.end()) return std::nullopt;
  return found->second;
}

bool JavaProperties::setProperty(const std::optional<std::string>& value,
                                 const std::optional<std::string>& key) {
  if (!key) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot set a property: the key is absent");
    return false;
  }
  if (!value) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot set the property %s: the value is absent",
                       key->c_str());
    return false;
  }
  _dict.insert_or_assign(*key, *value);
  return true;
}

void JavaProperties::removePropertyForKey(std::string_view key) {
  const auto found = _dict.find(key);
  if (found != _dict.end()) _dict.erase(found);
}

void JavaProperties::mergeWithJavaProperties(const std::optional<std::string>& path) {
  if (!path || !os::FileSystem::exists(*path)) return;
  {
    const JavaProperties other(*path);
    for (const auto& [key, value] : other._dict) setProperty(value, key);
  }
  savePropertiesToFile();
}

std::vector<std::string> JavaProperties::propertyNames() const {
  return allProperties();
}

std::vector<std::string> JavaProperties::allProperties() const {
  std::vector<std::string> keys;
  keys.reserve(_dict.size());
  for (const auto& entry : _dict) keys.push_back(entry.first);
  return keys;
}

bool JavaProperties::savePropertiesToFile(const std::optional<std::string>& path) {
  const std::optional<std::string> target = path ? std::optional(os::expandTilde(*path)) : _file;
  if (!target) return false;
  return os::replaceFileAtomically(*target, serialize(_dict, _raw));
}

}  // namespace rcpinstall
