#include "foundation/configuration.h"

#include <utility>

#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/shared_files.h"

namespace rcpinstall {

namespace {

Properties loadHandOff(const std::string& file) {
  // Only a file that root or this run's users made is read: anyone may write /tmp.
  std::optional<std::string> bytes = os::readSharedFile(file, os::kReadLimit);
  if (!bytes) return Properties();
  std::optional<os::PlistValue> root = os::parsePlist(*bytes);
  if (!root || root->asDictionary() == nullptr) return Properties();
  return Properties(std::move(*root->asDictionary()), file);
}

}  // namespace

Configuration::Configuration(const std::string& file)
    : _internalProperties(loadHandOff(file)), _file(file) {}

std::optional<os::PlistValue> Configuration::getPropertyValueForKey(
    const std::optional<std::string>& key) const {
  return _internalProperties.getPropertyForKey(key);
}

std::optional<std::string> Configuration::getStringValueForKey(
    const std::optional<std::string>& key) const {
  return _internalProperties.getStringForKey(key);
}

void Configuration::setProperty(std::optional<os::PlistValue> value,
                                const std::optional<std::string>& key) {
  _internalProperties.setProperty(std::move(value), key);
}

bool Configuration::saveConfiguration() {
  const os::PlistValue* entries = _internalProperties.dictionary();
  if (entries == nullptr) return false;
  std::string xml = os::serializePlistXml(*entries);
  if (xml.empty()) return false;
  return os::replaceSharedFileAtomically(_file, xml);
}

void Configuration::cleanupConfiguration() {
  // A directory at the name is not a hand-off file; it is left alone.
  os::removeSharedEntry(_file);
  _internalProperties.removeAllProperties();
}

}  // namespace rcpinstall
