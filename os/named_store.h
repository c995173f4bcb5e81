// The named store (pasteboard): one typed property-list record per name, shared between
// processes of the same user and kept after the writer exits.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/plist_value.h"

namespace rcpinstall::os {

// The per-user store directory is this prefix followed by the invoking user's uid.
inline constexpr const char* kNamedStoreDirectoryPrefix = "/tmp/.pasteboards-";

// The store file is the property list {"types": [declared types], "values": {type: value}}.
// The directory (mode 0700, owned by the invoking user, made when missing) is refused when it
// is a symbolic link, not a directory, or owned by anyone else; the store is then
// unavailable, and the system log says so. Each operation opens the directory once and reads
// and writes the store file only through that descriptor; a store file of anyone but the
// directory's owner or root is no record. A name that is not a plain file name makes the
// store unavailable too.
class NamedStore {
 public:
  // The store file is <directory>/<name>. The default directory is
  // "/tmp/.pasteboards-<uid of the invoking user>".
  explicit NamedStore(std::string name, std::optional<std::string> directory = std::nullopt);

  // Declares the types the store holds; discards whatever it held. False when unavailable.
  bool declareTypes(const std::vector<std::string>& types);
  // Writes the value under a declared type, replacing what was there. False when the store is
  // unavailable, the type was not declared, or the write failed.
  bool setPropertyList(const PlistValue& value, const std::string& type);
  // The value under the type, or none.
  std::optional<PlistValue> propertyListForType(const std::string& type) const;

  // "/tmp/.pasteboards-<uid>" for the invoking user (USER, else the real user; the real uid
  // when USER names no account).
  static std::string defaultDirectory();

 private:
  std::string name_;
  std::string directory_;
};

}  // namespace rcpinstall::os
