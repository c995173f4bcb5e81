// JavaProperties: the properties-file reader, writer and merge.
#include "foundation/java_properties.h"

#include <algorithm>
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

bool isJavaBlank(char c) {
  return c == ' ' || c == '\t' || c == '\f';
}

// The length of the line end at `at` ("\r\n", "\r" or "\n"; Java ends a line at each), or 0.
size_t lineEndAt(std::string_view text, size_t at) {
  if (at >= text.size()) return 0;
  if (text[at] == '\r') return text.substr(at, 2) == "\r\n" ? 2 : 1;
  return text[at] == '\n' ? 1 : 0;
}

// The line end that closes the text, if any.
std::string_view finalLineEnd(std::string_view text) {
  if (text.ends_with("\r\n")) return "\r\n";
  return text.ends_with('\n') || text.ends_with('\r') ? text.substr(text.size() - 1) : "";
}

// The two readings of a properties file, and where they differ.
//
// The tool's own reader (JavaProperties::parse) reads the files as the tool always has:
//  - a line ends only at a line feed; a carriage return alone stays inside its line;
//  - each line is trimmed at both ends of ISO-8859-1 white space (space, tab, line feed,
//    vertical tab, form feed, carriage return, NEL, no-break space);
//  - only "#", as the first character of the trimmed line, starts a comment;
//  - a value goes on in the next line only when its line ends in a backslash after a blank
//    (" \"), and comments and blank lines in between do not end it;
//  - a backslash drops itself before ":", "\", "#", " ", "=", "!" and before nothing else;
//    "\uXXXX", "\t" and the like stay as they are written;
//  - the key ends at the first "=", ":", space or tab; a "-X" option keeps them in its value.
// Java's loader, which the layout-keeping rewrite follows so that the platform reads the
// rewritten file as it read the original:
//  - a line ends at "\r\n", "\r" or "\n";
//  - only blanks (space, tab, form feed) are skipped, and only at a line's start;
//  - "#" and "!", as the first non-blank of a logical line, start a comment;
//  - a line that ends in an odd run of backslashes goes on in the next, whose leading blanks
//    are skipped; a line of blanks ends it;
//  - "\t", "\n", "\r", "\f" and "\uXXXX" are decoded, any other escaped character is itself;
//  - the key ends at the first unescaped "=", ":", space, tab or form feed.
// lexLines finds the physical lines once, with what each reading needs of each: the tool's
// reader joins those whose line end is a carriage return alone, Java's splitting reads them
// one by one.
struct PhysicalLine {
  size_t begin;        // its first character
  size_t end;          // after its last character, before its line end
  size_t next;         // after its line end
  size_t javaStart;    // after its leading blanks (end when it holds nothing else)
  bool javaComment;    // its first non-blank is "#" or "!"
  bool javaContinues;  // it ends in an odd run of backslashes
  bool endsToolLine;   // its line end holds a line feed, or the text ends with it
};

std::vector<PhysicalLine> lexLines(std::string_view text) {
  std::vector<PhysicalLine> lines;
  for (size_t begin = 0; begin < text.size();) {
    PhysicalLine line{begin, text.find_first_of("\r\n", begin), 0, begin, false, false, false};
    if (line.end == std::string_view::npos) line.end = text.size();
    line.next = line.end + lineEndAt(text, line.end);
    while (line.javaStart < line.end && isJavaBlank(text[line.javaStart])) ++line.javaStart;
    line.javaComment =
        line.javaStart < line.end && (text[line.javaStart] == '#' || text[line.javaStart] == '!');
    size_t backslashes = 0;
    while (backslashes < line.end - line.javaStart && text[line.end - 1 - backslashes] == '\\') {
      ++backslashes;
    }
    line.javaContinues = backslashes % 2 == 1;
    line.endsToolLine = line.next == text.size() || text[line.next - 1] == '\n';
    lines.push_back(line);
    begin = line.next;
  }
  return lines;
}

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The key Java's loader reads from a logical line: up to the first unescaped separator, with
// its escapes decoded. A malformed "\u", which Java refuses, is kept as text.
std::u16string javaKey(std::u16string_view line) {
  std::u16string key;
  for (size_t i = 0; i < line.size(); ++i) {
    char16_t c = line[i];
    if (c == u'=' || c == u':' || c == u' ' || c == u'\t' || c == u'\f') break;
    if (c != u'\\') {
      key += c;
      continue;
    }
    if (++i == line.size()) break;
    c = line[i];
    int code = c == u'u' && i + 4 < line.size() ? 0 : -1;
    for (size_t k = i + 1; code >= 0 && k <= i + 4; ++k) {
      const int digit = hexDigit(line[k]);
      code = digit < 0 ? -1 : code * 16 + digit;
    }
    if (code >= 0) {
      key += static_cast<char16_t>(code);
      i += 4;
    } else if (c == u'u') {
      key += u"\\u";
    } else {
      key += c == u't' ? u'\t' : c == u'r' ? u'\r' : c == u'n' ? u'\n' : c == u'f' ? u'\f' : c;
    }
  }
  return key;
}

// The key Java reads from the line the writer makes of a table's key.
std::u16string javaKeyOf(std::string_view key) {
  return javaKey(decodeLatin1(StringUtil::convertNSStringTo8859_1Key(key)));
}

// The text split into logical lines as Java's loader splits them (see lexLines); comments
// and blank lines are no entries.
struct JavaLines {
  struct Entry {
    size_t begin;  // the start of its first physical line
    size_t end;    // after the line end of its last one
    std::u16string key;
  };
  std::vector<Entry> entries;
  bool open = false;  // the last line goes on into whatever is appended
};

JavaLines splitLikeJava(std::string_view text) {
  JavaLines lines;
  const std::vector<PhysicalLine> physical = lexLines(text);
  for (size_t n = 0; n < physical.size();) {
    const PhysicalLine& first = physical[n];
    if (first.javaStart == first.end || first.javaComment) {
      ++n;
      continue;
    }
    std::u16string line;
    size_t end = first.next;
    for (size_t start = first.javaStart;;) {
      const PhysicalLine& at = physical[n++];
      line += decodeLatin1(text.substr(start, at.end - start));
      end = at.next;
      if (!at.javaContinues) break;
      line.pop_back();  // the backslash that joins the lines
      if (n == physical.size()) {
        lines.open = !line.empty();
        break;
      }
      // The next line's leading blanks are skipped; a line of blanks ends this one.
      start = physical[n].javaStart;
      if (start == physical[n].end) {
        lines.open = !line.empty() && physical[n].next == physical[n].end;  // ends in blanks
        end = physical[n++].next;
        break;
      }
    }
    if (!line.empty()) lines.entries.push_back({first.begin, end, javaKey(line)});
  }
  return lines;
}

// An entry as the writer writes it, without a line end.
void appendEntry(std::string& out, const std::string& key, const std::string& value) {
  out += StringUtil::convertNSStringTo8859_1Key(key);
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
}

// The source's lines, with the changed entries in place of the last line Java reads for
// their key and the entries it lacks appended. Every key of the source is in the table.
std::string rewrite(const JavaProperties::Table& table, const JavaProperties::Source& source) {
  using Entry = JavaProperties::Table::value_type;
  const std::string_view text = source.text;
  // What to write for each key Java reads; of two spellings of one key, the later wins.
  std::map<std::u16string, const Entry*> changed;
  std::vector<std::pair<std::u16string, const Entry*>> inKeyOrder;
  for (const Entry& entry : table) {
    std::u16string key = javaKeyOf(entry.first);
    const auto old = source.values.find(entry.first);
    if ((old != source.values.end() && old->second == entry.second) ||
        StringUtil::convertNSStringTo8859_1Key(entry.first).empty()) {
      continue;
    }
    changed[key] = &entry;
    inKeyOrder.emplace_back(std::move(key), &entry);
  }
  const JavaLines lines = splitLikeJava(text);
  std::map<std::u16string, size_t> lastLine;
  for (size_t n = 0; n < lines.entries.size(); ++n) lastLine[lines.entries[n].key] = n;
  std::string out;
  size_t copied = 0;
  for (size_t n = 0; n < lines.entries.size(); ++n) {
    const JavaLines::Entry& line = lines.entries[n];
    const auto change = changed.find(line.key);
    if (change == changed.end() || lastLine[line.key] != n) continue;
    out.append(text.substr(copied, line.begin - copied));
    copied = line.end;
    appendEntry(out, change->second->first, change->second->second);
    out += finalLineEnd(text.substr(0, line.end));
    changed.erase(change);
  }
  out.append(text.substr(copied));

  // Appended lines end as the file's first line does; they begin a logical line of their own.
  std::string lineEnd = "\n";
  if (const size_t at = text.find_first_of("\r\n"); at != std::string_view::npos) {
    lineEnd = text.substr(at, lineEndAt(text, at));
  }
  bool appending = false;
  for (const auto& [key, entry] : inKeyOrder) {
    const auto change = changed.find(key);
    if (change == changed.end() || change->second != entry) continue;
    if (!appending && !out.empty() && finalLineEnd(out).empty()) out += lineEnd;
    if (!appending && splitLikeJava(out).open) out += lineEnd;
    appending = true;
    appendEntry(out, entry->first, entry->second);
    out += lineEnd;
  }
  return out;
}

}  // namespace

JavaProperties::JavaProperties() = default;

JavaProperties::JavaProperties(const std::optional<os::Location>& file) {
  if (file)
    _file = file->roots() != nullptr || file->refused()
                ? *file
                : os::Location(os::expandTilde(file->path()));
  if (_file) initDictionary();
}

std::optional<JavaProperties> JavaProperties::load(const os::Location& path) {
  const std::optional<std::string> bytes = os::readWholeFile(path);
  if (!bytes) return std::nullopt;
  JavaProperties properties;
  properties._file = path;
  properties._dict = parse(*bytes, &properties._source);
  return properties;
}

void JavaProperties::initDictionary() {
  if (!_file) return;
  std::optional<JavaProperties> loaded = load(*_file);
  if (!loaded) return;
  for (auto& [key, value] : loaded->_dict) _dict.insert_or_assign(key, std::move(value));
  _source = std::move(loaded->_source);
}

JavaProperties::Table JavaProperties::parse(std::string_view latin1Text, Source* source) {
  Table table;
  std::u16string key;
  std::u16string value;
  bool inValue = false;
  bool continuing = false;
  bool dashX = false;

  const auto add = [&] {
    table.insert_or_assign(StringUtil::toUtf8(key), StringUtil::toUtf8(value));
  };
  const std::vector<PhysicalLine> physical = lexLines(latin1Text);
  for (size_t n = 0; n < physical.size();) {
    // The tool's line: the physical lines up to a line feed (see lexLines).
    const size_t begin = physical[n].begin;
    while (!physical[n].endsToolLine) ++n;
    const std::u16string text = decodeLatin1(latin1Text.substr(begin, physical[n++].end - begin));
    const std::u16string_view line = trim(text);

    if (line.empty() || line.front() == u'#') continue;
    if (!continuing) {
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
  if (source != nullptr) *source = {std::string(latin1Text), table};
  return table;
}

std::string JavaProperties::serialize(const Table& table, const Source& source) {
  // A table that lost a key of its source is written whole: the source's lines would keep it.
  const bool keyRemoved =
      std::any_of(source.values.begin(), source.values.end(),
                  [&](const auto& entry) { return !table.contains(entry.first); });
  if (!source.text.empty() && !keyRemoved) return rewrite(table, source);
  std::string out;
  for (const auto& [key, value] : table) {
    if (StringUtil::convertNSStringTo8859_1Key(key).empty()) continue;
    appendEntry(out, key, value);
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

bool JavaProperties::savePropertiesToFile(const std::optional<os::Location>& path) {
  std::optional<os::Location> target = _file;
  if (path)
    target = path->roots() != nullptr || path->refused()
                 ? *path
                 : os::Location(os::expandTilde(path->path()));
  if (!target) return false;
  return os::replaceFileAtomically(*target, serialize(_dict, _source));
}

}  // namespace rcpinstall
