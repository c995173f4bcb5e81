// JavaProperties: a Java-style properties file read into a key/value table and written back.
#pragma once

#include "os/root.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rcpinstall {

// Files are ISO-8859-1 on disk; keys and values are UTF-8 in memory. The reader understands a
// subset of Java's rules (it keeps "\u" escapes as text); the writer's output is ASCII with
// "\uXXXX" for everything else, so Java reads what the table holds.
class JavaProperties {
 public:
  // Sorted by key, so a written file does not depend on the order of insertion.
  using Table = std::map<std::string, std::string, std::less<>>;

  JavaProperties();
  // Loads the file at the location (a plain path with "~" expanded) when it exists; the
  // location is remembered either way as the default target of savePropertiesToFile.
  explicit JavaProperties(const std::optional<os::Location>& file);

  // The file at the location (taken as it is, no "~" expansion) parsed, with the location as
  // its target; none when the file cannot be read.
  static std::optional<JavaProperties> load(const os::Location& path);

  // Parses _file into _dict; an unreadable file leaves the table as it is.
  void initDictionary();

  std::optional<std::string> getPropertyForKey(std::string_view key) const;
  // Stores the value under the key; an absent key or value is refused with an error in the
  // system log and the answer false.
  bool setProperty(const std::optional<std::string>& value, const std::optional<std::string>& key);
  void removePropertyForKey(std::string_view key);
  // Sets every property of the other file here, then saves this object to its own file.
  // Nothing happens (and nothing is written) when no file exists at the path.
  void mergeWithJavaProperties(const std::optional<std::string>& path);

  // The keys, in key order. Both give a snapshot, so the table may be changed while the
  // result is walked.
  std::vector<std::string> propertyNames() const;
  std::vector<std::string> allProperties() const;

  // Writes the table atomically to the location (a plain path with "~" expanded), or to _file
  // when none is given. False when there is no target or the write failed (the old file is
  // then intact).
  bool savePropertiesToFile(const std::optional<os::Location>& path = std::nullopt);

  // The file a table was read from: its bytes and the values read from them. A rewrite keeps
  // the file's own lines (order, comments, blank lines, continuations, line ends) and changes
  // only where the table's values differ from these.
  struct Source {
    std::string text;
    Table values;
  };

  // The reader and writer as functions of text: ISO-8859-1 bytes in and out, what the writer
  // writes itself being ASCII. The reader can also give the source of what it read. Without a
  // source text the writer writes every entry, in key order; with one it writes the source's
  // lines as they stand, except that an entry whose value changed takes the place of all the
  // lines of its key, and entries the source did not hold are appended in key order; a table
  // that no longer holds a key of the source is written as without a source. Lines are told apart
  // and keys matched as Java's loader reads them ("\u0041" and "A" are one key), so Java reads the
  // source with the changes.
  static Table parse(std::string_view latin1Text, Source* source = nullptr);
  static std::string serialize(const Table& table, const Source& source = {});

  const Table& table() const { return _dict; }
  std::optional<std::string> file() const {
    return _file ? std::optional(_file->path()) : std::nullopt;
  }

 private:
  Table _dict;
  std::optional<os::Location> _file;
  // The file this object was loaded from, so that a rewrite keeps what it did not change
  // exactly (the reader cannot tell "\\t" from "\t", and keeps no comments).
  Source _source;
};

}  // namespace rcpinstall
