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

Properties::Properties(const std::string& file) {
  std::string expanded = os::expandTilde(file);
  if (!os::FileSystem::exists(expanded)) return;
  _file = expanded;
  std::optional<os::PlistValue> loaded = os::readPlistFile(expanded);
  if (loaded && loaded->asDictionary() != nullptr) _dict = std::move(loaded);
}

Properties::Properties(os::PlistDictionary entries, std::optional<std::string> file)
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

bool Properties::savePropertiesToFile(const std::optional<std::string>& path) const {
  if (!_dict) return false;
  std::optional<std::string> target = path ? std::optional(os::expandTilde(*path)) : _file;
  if (!target) return true;
  return os::writePlistFile(*target, *_dict);
}

}  // namespace rcpinstall
