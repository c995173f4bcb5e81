#include "foundation/properties.h"

#include <exception>
#include <utility>

#include "os/file_system.h"
#include "os/path.h"

namespace rcpinstall {

namespace {
constexpr size_t kInitialCapacity = 10;
}  // namespace

Properties::Properties() {
  os::PlistDictionary entries;
  entries.reserve(kInitialCapacity);
  _dict = os::PlistValue(std::move(entries));
}

Properties::Properties(const os::Location& file) {
  // A plain path has "~" expanded; a location below a root is taken as it is.
  const os::Location expanded =
      file.roots() != nullptr || file.refused() ? file : os::Location(os::expandTilde(file.path()));
  if (!os::FileSystem::exists(expanded)) return;
  _file = expanded;
  std::optional<os::PlistValue> loaded = os::readPlistFile(expanded);
  if (loaded && loaded->asDictionary() != nullptr) _dict = std::move(loaded);
}

Properties::Properties(os::PlistDictionary entries, std::optional<os::Location> file)
    : _dict(os::PlistValue(std::move(entries))), _file(std::move(file)) {}

std::optional<os::PlistValue> Properties::getPropertyForKey(
    const std::optional<std::string>& key) const {
  if (!_dict || !key) return std::nullopt;
  const os::PlistValue* value = _dict->find(*key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<std::string> Properties::getStringForKey(
    const std::optional<std::string>& key) const {
  if (!_dict || !key) return std::nullopt;
  const os::PlistValue* value = _dict->find(*key);
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

bool Properties::setProperty(std::optional<os::PlistValue> value,
                             const std::optional<std::string>& key) {
  if (!_dict || !key) return false;
  try {
    if (value) return _dict->set(*key, std::move(*value));
    _dict->erase(*key);
    return true;
  } catch (const std::exception&) {
    // The store stays as it was (a failed append leaves the dictionary unchanged); callers
    // learn that the value was not kept.
    return false;
  }
}

void Properties::removePropertyForKey(const std::optional<std::string>& key) {
  if (_dict && key) _dict->erase(*key);
}

void Properties::removeAllProperties() {
  if (_dict) _dict->asDictionary()->clear();
}

bool Properties::savePropertiesToFile(const std::optional<os::Location>& path) const {
  if (!_dict) return false;
  std::optional<os::Location> target = _file;
  if (path) {
    target = path->roots() != nullptr || path->refused()
                 ? *path
                 : os::Location(os::expandTilde(path->path()));
  }
  if (!target) return true;
  return os::writePlistFile(*target, *_dict);
}

}  // namespace rcpinstall
