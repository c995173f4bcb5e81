// Properties: a string-keyed store of property-list values kept in one property-list file.
#pragma once

#include "os/root.h"

#include <optional>
#include <string>

#include "os/plist_value.h"

namespace rcpinstall {

// A store without a dictionary (what a missing or unparsable file gives) reads nothing and
// writes nothing. Values are kept and saved as they were read, whatever their type.
class Properties {
 public:
  // An empty store with a dictionary and no file.
  Properties();
  // The store of the property-list file at the path ("~" expanded). A missing file leaves
  // both the dictionary and the file absent; a file whose content is not a property list
  // with a dictionary at its root keeps the file but no dictionary.
  explicit Properties(const os::Location& file);
  // A store over entries that were already read from `file` (for readers that must open
  // the file in their own way, such as the configuration hand-off in /tmp).
  Properties(os::PlistDictionary entries, std::optional<os::Location> file);

  // The value stored under the key; none when there is no dictionary, key or entry.
  std::optional<os::PlistValue> getPropertyForKey(const std::optional<std::string>& key) const;
  // The value under the key when it is a string; none otherwise.
  std::optional<std::string> getStringForKey(const std::optional<std::string>& key) const;

  // Stores the value under the key, replacing an earlier one; an absent value removes the
  // entry. False when there is no dictionary or no key, or when the change failed.
  bool setProperty(std::optional<os::PlistValue> value, const std::optional<std::string>& key);
  void removePropertyForKey(const std::optional<std::string>& key);
  void removeAllProperties();

  // Writes the dictionary as an XML property list, atomically, to the path ("~" expanded) or,
  // without one, to the store's own file. False when there is no dictionary or the write
  // failed; true when there is no target at all (nothing is written then).
  bool savePropertiesToFile(const std::optional<os::Location>& path = std::nullopt) const;

  bool hasDictionary() const { return _dict.has_value(); }
  // The dictionary value itself, for writers of their own; nullptr without one.
  const os::PlistValue* dictionary() const { return _dict ? &*_dict : nullptr; }
  std::optional<std::string> file() const {
    return _file ? std::optional(_file->path()) : std::nullopt;
  }

 private:
  std::optional<os::PlistValue> _dict;  // always holds a dictionary when present
  std::optional<os::Location> _file;
};

}  // namespace rcpinstall
